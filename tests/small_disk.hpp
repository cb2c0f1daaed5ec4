#pragma once
// A small tmpfs that a test mounts for itself (root only), to fill the disk
// under a database file and give the space back. Tests skip themselves with
// GTEST_SKIP when mounting is not permitted.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace norrik_test {

class SmallDisk {
public:
    SmallDisk(const std::string& path, const std::string& size) : path_(path) {
        std::filesystem::create_directories(path);
        const std::string options = "size=" + size + ",mode=0755";
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
        error_ = errno;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    std::string why() const { return std::strerror(error_); }
    std::string path(const std::string& name) const { return path_ + "/" + name; }

    // Writes a filler file until the disk is full; returns its size.
    long fill() {
        int fd = ::open(path("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char block[4096];
        std::memset(block, 0xEE, sizeof block);
        long total = 0;
        for (std::size_t chunk : {sizeof block, std::size_t{1}}) {
            for (;;) {
                ssize_t put = ::write(fd, block, chunk);
                if (put <= 0) break;
                total += put;
            }
        }
        ::close(fd);
        return total;
    }
    void release() { std::filesystem::remove(path("filler")); }

private:
    std::string path_;
    bool mounted_ = false;
    int error_ = 0;
};

}  // namespace norrik_test

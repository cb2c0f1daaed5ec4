#pragma once
// A small tmpfs that a test mounts for itself (root only), to fill the disk
// under a database file and give the space back. Tests skip themselves with
// GTEST_SKIP when mounting is not permitted.

#include <fcntl.h>
#include <sched.h>
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
        privateMounts();
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
    // Moves this test process (and the programs it starts afterwards) into a
    // mount namespace of its own, once, so a disk left mounted by a test
    // that dies half-way vanishes with the process instead of staying on
    // the machine. Done while no other thread runs (a test's threads are
    // joined before it ends); where it is refused, mounts stay shared and
    // the destructor's unmount is all there is.
    static void privateMounts() {
        static const bool done = [] {
            if (::unshare(CLONE_NEWNS) != 0) return false;
            return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        }();
        (void)done;
    }

    std::string path_;
    bool mounted_ = false;
    int error_ = 0;
};

}  // namespace norrik_test

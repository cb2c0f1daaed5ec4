#include "pid_file.hpp"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace NORRIK {

PidFile::PidFile(std::string path) : path_(std::move(path)), content_(std::to_string(::getpid()) + "\n") {
    if (path_.empty()) return;
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t wrote;
    do {
        wrote = ::write(fd, content_.data(), content_.size());
    } while (wrote < 0 && errno == EINTR);
    written_ = ::close(fd) == 0 && wrote == static_cast<ssize_t>(content_.size());
}

PidFile::~PidFile() {
    if (!written_) return;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buffer[32];
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got == static_cast<ssize_t>(content_.size()) && content_.compare(0, content_.size(), buffer, got) == 0) {
        ::unlink(path_.c_str());
    }
}

}  // namespace NORRIK

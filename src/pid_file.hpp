#pragma once
// NORRIK::PidFile: a file that holds the process ID while norrik runs, so
// that tools such as logrotate can send it a signal. Written when the object
// is made (mode 0644, created or replaced) and removed when it goes, unless
// another process has written its own ID into it meanwhile.

#include <string>

namespace NORRIK {

class PidFile {
public:
    // An empty path writes nothing. Check written() for the outcome.
    explicit PidFile(std::string path);
    ~PidFile();

    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    bool written() const { return written_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string content_;
    bool written_ = false;
};

}  // namespace NORRIK

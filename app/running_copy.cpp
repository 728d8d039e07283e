#include "app/running_copy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace torvalen {

std::unique_ptr<RunningCopyLock> RunningCopyLock::acquire(const std::filesystem::path& home,
                                                          const std::string& address,
                                                          std::string& other, std::string& error) {
    const std::filesystem::path file = home / "torvalen.lock";
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + file.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            char buffer[512];
            ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
            other.assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
            while (!other.empty() && (other.back() == '\n' || other.back() == '\0')) other.pop_back();
        } else {
            error = "cannot lock " + file.string() + ": " + std::strerror(err);
        }
        ::close(fd);
        return nullptr;
    }
    const std::string record = address + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, record.data(), record.size(), 0) != static_cast<ssize_t>(record.size())) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<RunningCopyLock>(new RunningCopyLock(fd));
}

RunningCopyLock::~RunningCopyLock() {
    // Leave the file: removing it could race a copy that is just starting.
    if (::ftruncate(fd_, 0) != 0) {
        // Nothing to do: the next copy overwrites the record anyway.
    }
    ::close(fd_);
}

bool RunningCopyLock::record(const std::string& address) {
    const std::string line = address + "\n";
    return ::ftruncate(fd_, 0) == 0 &&
           ::pwrite(fd_, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size());
}

}  // namespace torvalen

// The single-running-copy rule: one process per settings home. The first copy
// holds an exclusive lock on a file in the home and writes its address there; a
// second copy finds the lock taken, reads the address and leaves.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace torvalen {

class RunningCopyLock {
public:
    // Takes the lock and records `address`. When another process holds it, returns
    // nullptr with `other` set to what that process recorded; on any other failure
    // returns nullptr with `error` set.
    static std::unique_ptr<RunningCopyLock> acquire(const std::filesystem::path& home,
                                                    const std::string& address, std::string& other,
                                                    std::string& error);
    ~RunningCopyLock();
    // Records another address (the one the web interface really listens on).
    bool record(const std::string& address);
    RunningCopyLock(const RunningCopyLock&) = delete;
    RunningCopyLock& operator=(const RunningCopyLock&) = delete;

private:
    explicit RunningCopyLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace torvalen

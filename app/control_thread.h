// The control thread: runs the application's commands one at a time, in order.
// Other threads (signal handling, the web interface) hand it work and wait.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace torvalen {

class ControlThread {
public:
    ControlThread();
    ~ControlThread();  // runs what is queued, then ends the thread
    ControlThread(const ControlThread&) = delete;
    ControlThread& operator=(const ControlThread&) = delete;

    // Runs `task` on the control thread and returns when it has run.
    void run(std::function<void()> task);

private:
    void main();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace torvalen

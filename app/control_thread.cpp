#include "app/control_thread.h"

namespace torvalen {

ControlThread::ControlThread() : thread_([this] { main(); }) {}

ControlThread::~ControlThread() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void ControlThread::run(std::function<void()> task) {
    std::mutex done_mutex;
    std::condition_variable done_cv;
    bool done = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back([&] {
            task();
            std::lock_guard done_lock(done_mutex);
            done = true;
            done_cv.notify_all();
        });
    }
    wake_.notify_all();
    std::unique_lock done_lock(done_mutex);
    done_cv.wait(done_lock, [&] { return done; });
}

void ControlThread::main() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || !queue_.empty(); });
        if (queue_.empty()) return;
        auto task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

}  // namespace torvalen

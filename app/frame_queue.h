// A bounded queue of interleaved samples between two threads of an offline render: one
// thread puts, one takes, each waiting while the queue is full or empty. The putting
// side closes it at its end; either side can cancel it, which wakes both and makes
// every later put fail (so neither waits for a partner that has given up).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <span>
#include <vector>

namespace torvalen {

class FrameQueue {
public:
    explicit FrameQueue(std::size_t capacity_samples) : ring_(capacity_samples) {}

    // Puts all of `samples`, waiting for room; false once the queue is cancelled.
    bool put(std::span<const float> samples) {
        std::unique_lock lock(mutex_);
        while (!samples.empty()) {
            if (size_ == ring_.size()) {
                // Wait for a quarter of the ring (or the rest) rather than for each
                // sample taken: the two threads then switch seldom.
                need_room_ = std::min(samples.size(), ring_.size() / 4);
                changed_.wait(lock, [&] { return cancelled_ || ring_.size() - size_ >= need_room_; });
                need_room_ = 0;
            }
            if (cancelled_) return false;
            // Up to the ring's end, then from its start.
            const std::size_t tail = (head_ + size_) % ring_.size();
            const std::size_t n = std::min({samples.size(), ring_.size() - size_, ring_.size() - tail});
            std::copy_n(samples.begin(), n, ring_.begin() + tail);
            size_ += n;
            samples = samples.subspan(n);
            if (need_data_ != 0 && size_ >= need_data_) changed_.notify_all();
        }
        return true;
    }

    // Takes samples until `out` is full or the queue has been closed (or cancelled) and
    // emptied; returns how many samples were taken.
    std::size_t take(std::span<float> out) {
        std::unique_lock lock(mutex_);
        std::size_t got = 0;
        while (got < out.size()) {
            if (size_ == 0) {
                if (closed_ || cancelled_) break;
                need_data_ = std::min(out.size() - got, ring_.size() / 4);
                changed_.wait(lock, [&] { return closed_ || cancelled_ || size_ >= need_data_; });
                need_data_ = 0;
                if (size_ == 0) break;
            }
            const std::size_t n = std::min({out.size() - got, size_, ring_.size() - head_});
            std::copy_n(ring_.begin() + head_, n, out.begin() + got);
            head_ = (head_ + n) % ring_.size();
            size_ -= n;
            got += n;
            if (need_room_ != 0 && ring_.size() - size_ >= need_room_) changed_.notify_all();
        }
        return got;
    }

    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<float> ring_;
    std::size_t head_ = 0, size_ = 0;
    std::size_t need_room_ = 0, need_data_ = 0;  // what a waiting side waits for (0: none waits)
    bool closed_ = false, cancelled_ = false;
};

}  // namespace torvalen

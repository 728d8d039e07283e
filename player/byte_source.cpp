#include "player/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace torvalen::player {

std::unique_ptr<FileSource> FileSource::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FileSource>(new FileSource(fd));
}

FileSource::~FileSource() { ::close(fd_); }

uint64_t FileSource::size() const {
    struct stat st{};
    if (::fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

int64_t FileSource::read_at(uint64_t offset, std::span<uint8_t> out) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t MemorySource::read_at(uint64_t offset, std::span<uint8_t> out) {
    if (offset >= bytes_.size()) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), bytes_.size() - offset));
    std::memcpy(out.data(), bytes_.data() + offset, n);
    return static_cast<int64_t>(n);
}

uint64_t SubSource::size() const {
    const uint64_t base = base_.size();
    if (start_ >= base) return 0;
    return std::min(length_, base - start_);
}

int64_t SubSource::read_at(uint64_t offset, std::span<uint8_t> out) {
    if (offset >= length_) return 0;
    const uint64_t n = std::min<uint64_t>(out.size(), length_ - offset);
    return base_.read_at(start_ + offset, out.first(static_cast<size_t>(n)));
}

}  // namespace torvalen::player

// Random-access byte input for the file decoders: a file opened read-only, or a
// block of memory (tag chunks, fuzzing). Every read states its offset and gets at
// most what is there, so no parser can read past the real end of its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace torvalen::player {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Size of the input now (a file may shrink while it is open).
    virtual uint64_t size() const = 0;
    // Copies up to out.size() bytes from `offset`; the number copied (0 at or past
    // the end), or -1 when the read itself failed.
    virtual int64_t read_at(uint64_t offset, std::span<uint8_t> out) = 0;

    // True when exactly out.size() bytes could be read at `offset`.
    bool read_exact(uint64_t offset, std::span<uint8_t> out) {
        return read_at(offset, out) == static_cast<int64_t>(out.size());
    }
};

class FileSource final : public ByteSource {
public:
    // nullptr when the path cannot be opened for reading or is not a regular file.
    static std::unique_ptr<FileSource> open(const std::filesystem::path& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    uint64_t size() const override;
    int64_t read_at(uint64_t offset, std::span<uint8_t> out) override;

private:
    explicit FileSource(int fd) : fd_(fd) {}
    int fd_;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    int64_t read_at(uint64_t offset, std::span<uint8_t> out) override;

private:
    std::span<const uint8_t> bytes_;
};

// A window [start, start + length) of another source, seen from offset 0.
class SubSource final : public ByteSource {
public:
    SubSource(ByteSource& base, uint64_t start, uint64_t length) : base_(base), start_(start), length_(length) {}
    uint64_t size() const override;
    int64_t read_at(uint64_t offset, std::span<uint8_t> out) override;

private:
    ByteSource& base_;
    uint64_t start_;
    uint64_t length_;
};

}  // namespace torvalen::player

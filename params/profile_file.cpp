#include "params/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "engine/text.h"

namespace torvalen::params {

namespace {

static_assert(std::endian::native == std::endian::little, "structures are written in memory order of a little-endian machine");

constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr std::string_view blanks = " \t";

std::string_view trim(std::string_view text) {
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string lower_ascii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string system_reason(std::string_view what) {
    return text::build("s s s", {what, ": ", std::strerror(errno)}).value_or(std::string(what));
}

// Closes a file descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool write_all(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        contents.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace

std::string encode_structure(std::array<uint8_t, 4> bytes) {
    std::string out;
    unsigned sum = 0;
    for (uint8_t byte : bytes) {
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 0xF];
        sum += byte;
    }
    out += hex_digits[(sum >> 4) & 0xF];
    out += hex_digits[sum & 0xF];
    return out;
}

std::string encode_float_structure(float value) {
    return encode_structure(std::bit_cast<std::array<uint8_t, 4>>(value));
}

std::string encode_u32_structure(uint32_t value) {
    return encode_structure(std::bit_cast<std::array<uint8_t, 4>>(value));
}

std::optional<std::array<uint8_t, 4>> decode_structure(std::string_view text) {
    constexpr size_t digits = 10;  // four bytes and the checksum
    if (text.size() != digits) return std::nullopt;
    std::array<uint8_t, 5> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    const unsigned sum = bytes[0] + bytes[1] + bytes[2] + bytes[3];
    if ((sum & 0xFF) != bytes[4]) return std::nullopt;
    return std::array<uint8_t, 4>{bytes[0], bytes[1], bytes[2], bytes[3]};
}

std::optional<float> decode_float_structure(std::string_view text) {
    auto bytes = decode_structure(text);
    if (!bytes) return std::nullopt;
    return std::bit_cast<float>(*bytes);
}

std::optional<uint32_t> decode_u32_structure(std::string_view text) {
    auto bytes = decode_structure(text);
    if (!bytes) return std::nullopt;
    return std::bit_cast<uint32_t>(*bytes);
}

std::string escape_key(std::string_view key) {
    std::string out;
    out.reserve(key.size());
    for (char c : key) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string encode_notes(std::string_view notes) {
    if (notes.find_first_of("\r\n") == std::string_view::npos) return std::string(notes);
    std::string out;
    out.reserve(notes.size() + notes.size() / 8);
    for (char c : notes) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string decode_notes(std::string_view value, size_t length) {
    if (value.size() == length) return std::string(value);
    std::string decoded;
    decoded.reserve(value.size());
    bool valid = true;
    for (size_t i = 0; i < value.size() && valid; ++i) {
        if (value[i] != '\\') {
            decoded += value[i];
            continue;
        }
        const char next = i + 1 < value.size() ? value[i + 1] : '\0';
        if (next == '\\') decoded += '\\';
        else if (next == 'n') decoded += '\n';
        else if (next == 'r') decoded += '\r';
        else valid = false;
        ++i;
    }
    if (valid && decoded.size() == length) return decoded;
    return std::string(value.substr(0, length));
}

ProfileFile ProfileFile::parse(std::string_view text) {
    ProfileFile file;
    std::optional<std::string> section;
    while (!text.empty()) {
        const size_t end = text.find_first_of("\r\n");
        std::string_view line = trim(text.substr(0, end));
        if (end == std::string_view::npos) {
            text = {};
        } else {
            // CRLF counts as one line end; a lone CR or LF as one too.
            const size_t skip = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
            text.remove_prefix(end + skip);
        }
        if (line.empty()) continue;
        if (line.front() == '[') {
            line.remove_prefix(1);
            section = lower_ascii(trim(line.substr(0, line.find(']'))));
            file.sections_.try_emplace(*section, true);
            continue;
        }
        const size_t equals = line.find('=');
        if (!section || equals == std::string_view::npos) continue;
        file.values_.try_emplace({*section, lower_ascii(trim(line.substr(0, equals)))},
                                 std::string(trim(line.substr(equals + 1))));
    }
    return file;
}

std::optional<std::string_view> ProfileFile::value(std::string_view section, std::string_view key) const {
    const auto it = values_.find({lower_ascii(trim(section)), lower_ascii(trim(key))});
    if (it == values_.end()) return std::nullopt;
    return std::string_view(it->second);
}

bool ProfileFile::has_section(std::string_view section) const {
    return sections_.contains(lower_ascii(trim(section)));
}

void ProfileWriter::section(std::string_view name) {
    text_ += '[';
    text_ += name;
    text_ += "]\r\n";
}

void ProfileWriter::entry(std::string_view key, std::string_view value) {
    text_ += key;
    text_ += '=';
    text_ += value;
    text_ += "\r\n";
}

std::optional<std::string> read_file_limited(const std::filesystem::path& file, size_t max_bytes, std::string& error) {
    // Opened without blocking and checked before reading: a FIFO or a device named
    // here must not hang the caller, nor a huge file fill the memory.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        error = system_reason("Cannot open the file");
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "Not a regular file";
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) > max_bytes) {
        error = "The file is too large";
        return std::nullopt;
    }
    std::string contents;
    std::array<char, 65536> chunk;
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = system_reason("Cannot read the file");
            return std::nullopt;
        }
        if (got == 0) break;
        if (contents.size() + static_cast<size_t>(got) > max_bytes) {
            error = "The file is too large";
            return std::nullopt;
        }
        contents.append(chunk.data(), static_cast<size_t>(got));
    }
    return contents;
}

bool write_file_atomically(const std::filesystem::path& file, std::string_view contents, std::string& error) {
    namespace fs = std::filesystem;
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    // Built by appending: GCC 12 at -O3 warns, wrongly, about the operator+ chain.
    std::string name = ".";
    name += file.filename().string();
    name += ".XXXXXX";
    std::string temp = (folder / name).string();
    FileDescriptor fd(::mkstemp(temp.data()));
    if (fd.get() < 0) {
        error = system_reason("Cannot create a file in the folder");
        return false;
    }
    // mkstemp creates the file for the owner only. A file replaced keeps its mode;
    // a new one is an ordinary document.
    struct stat existing {};
    const bool replaces = ::stat(file.c_str(), &existing) == 0;
    if (replaces && !S_ISREG(existing.st_mode)) {
        error = "Not a regular file";
        ::unlink(temp.c_str());
        return false;
    }
    ::fchmod(fd.get(), replaces ? (existing.st_mode & 07777) : 0644);
    const bool written = write_all(fd.get(), contents) && ::fsync(fd.get()) == 0;
    if (!written) error = system_reason("Cannot write the file");
    const bool closed = fd.close();
    if (written && !closed) error = system_reason("Cannot write the file");
    if (!written || !closed || ::rename(temp.c_str(), file.c_str()) != 0) {
        if (written && closed) error = system_reason("Cannot replace the file");
        ::unlink(temp.c_str());
        return false;
    }
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

}  // namespace torvalen::params

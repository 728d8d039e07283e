#include "app/password_store.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace torvalen {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxFileSize = 4096;  // a yescrypt hash is about 75 bytes

// A hash file's state: no file (or an empty one), the hash, or unreadable.
enum class Stored { None, Hash, Unreadable };

Stored read_hash(const fs::path& file, std::string& hash) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Stored::None : Stored::Unreadable;
    std::string text;
    char buffer[512];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || text.size() + static_cast<size_t>(n) > kMaxFileSize) {
            ok = false;
            break;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok) return Stored::Unreadable;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) return Stored::None;
    hash = std::move(text);
    return Stored::Hash;
}

// Compares without stopping at the first difference.
bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// Scratch memory for crypt_r, wiped when released.
struct CryptScratch {
    CryptScratch() : data(std::make_unique<crypt_data>()) {}
    ~CryptScratch() { explicit_bzero(data.get(), sizeof(crypt_data)); }
    CryptScratch(const CryptScratch&) = delete;
    CryptScratch& operator=(const CryptScratch&) = delete;
    std::unique_ptr<crypt_data> data;
};

// A NUL-terminated copy of a password, wiped when released.
class Phrase {
public:
    explicit Phrase(std::string_view text) : text_(text) {}
    ~Phrase() { explicit_bzero(text_.data(), text_.size()); }
    Phrase(const Phrase&) = delete;
    Phrase& operator=(const Phrase&) = delete;
    const char* c_str() const { return text_.c_str(); }

private:
    std::string text_;
};

// crypt(3) failures come back as a null pointer or a string starting with '*'.
std::optional<std::string> hash_with(std::string_view password, const char* setting) {
    Phrase phrase(password);
    CryptScratch scratch;
    const char* out = crypt_r(phrase.c_str(), setting, scratch.data.get());
    if (!out || out[0] != '$') return std::nullopt;
    return std::string(out);
}

bool usable_phrase(std::string_view password) {
    return !password.empty() && password.find('\0') == std::string_view::npos;
}

fs::path folder_of(const fs::path& file) {
    fs::path folder = file.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

// Makes a rename or unlink in `folder` durable.
bool sync_folder(const fs::path& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

PasswordStore::PasswordStore(fs::path file) : file_(std::move(file)) {}

bool PasswordStore::has_password() const {
    std::string hash;
    return read_hash(file_, hash) != Stored::None;
}

bool PasswordStore::verify(std::string_view password) const {
    if (!usable_phrase(password)) return false;
    std::string hash;
    if (read_hash(file_, hash) != Stored::Hash) return false;
    auto computed = hash_with(password, hash.c_str());
    return computed && same_text(*computed, hash);
}

bool PasswordStore::set(std::string_view password) {
    if (!usable_phrase(password)) return false;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes passed: libxcrypt draws them from the system's generator.
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) return false;
    auto hash = hash_with(password, setting);
    if (!hash) return false;

    const fs::path folder = folder_of(file_);
    std::string name = ".";  // appended: GCC 12 at -O3 warns, wrongly, about "." + string
    name += file_.filename().string();
    name += ".XXXXXX";
    std::string temp = (folder / name).string();
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && write_all(fd, *hash + "\n") && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), file_.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    return sync_folder(folder);
}

bool PasswordStore::remove() {
    if (::unlink(file_.c_str()) != 0) return errno == ENOENT;
    return sync_folder(folder_of(file_));
}

bool password_is_strong(std::string_view password) {
    size_t characters = 0;
    bool upper = false, lower = false, digit = false, punct = false;
    for (char ch : password) {
        auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80) ++characters;  // UTF-8 continuation bytes belong to the previous character
        const bool is_upper = c >= 'A' && c <= 'Z';
        const bool is_lower = c >= 'a' && c <= 'z';
        const bool is_digit = c >= '0' && c <= '9';
        upper = upper || is_upper;
        lower = lower || is_lower;
        digit = digit || is_digit;
        // The C locale's ispunct(): printable ASCII that is neither a letter, a digit nor space.
        punct = punct || (c >= 0x21 && c <= 0x7E && !is_upper && !is_lower && !is_digit);
    }
    return characters >= 8 && upper && lower && digit && punct;
}

}  // namespace torvalen

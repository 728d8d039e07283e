// The log-on password: a salted yescrypt hash (crypt(3) from libxcrypt) kept in
// one file that only the user may read (mode 0600) in the settings home.
// The password itself is never stored.
#pragma once

#include <filesystem>
#include <string_view>

namespace torvalen {

class PasswordStore {
public:
    explicit PasswordStore(std::filesystem::path file);

    const std::filesystem::path& file() const { return file_; }

    // True when the file holds a hash. A file that exists but cannot be read
    // counts as a password that nothing matches, so a damaged store locks rather
    // than opens the program.
    bool has_password() const;

    // True when `password` matches the stored hash. An empty entry never matches;
    // with no password stored nothing matches.
    bool verify(std::string_view password) const;

    // Stores a fresh salted hash of `password`, replacing the file atomically
    // (temporary file with mode 0600, fsync, rename, fsync of the folder).
    // Refuses an empty password or one holding a NUL character.
    bool set(std::string_view password);

    // Deletes the stored password. True also when there was none.
    bool remove();

private:
    std::filesystem::path file_;
};

// The strength rule for a new password: at least 8 characters with at least one
// upper-case letter, one lower-case letter, one digit and one punctuation
// character (the C locale's classes; characters outside ASCII count towards the
// length only).
bool password_is_strong(std::string_view password);

}  // namespace torvalen

// The settings store: one per-user tree of keys holding typed values (DWORD,
// QWORD, text, binary), kept in an SQLite database. Every module keeps its own
// key and reads its values at creation, writes them at destruction.
//
// Key names are case-sensitive, non-empty and may contain any character (a
// backslash is part of the name, not a path separator). Value names may be
// empty. Every write is one atomic transaction; SettingsStore::Transaction
// groups several writes into one commit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace torvalen {

enum class ValueType : uint32_t { Text = 1, Binary = 3, Dword = 4, Qword = 11 };

class SettingsStore;

namespace detail {
// Owns one SQLite connection and closes it when destroyed.
class SqliteConnection {
public:
    SqliteConnection() = default;
    explicit SqliteConnection(sqlite3* db) : db_(db) {}
    ~SqliteConnection();
    SqliteConnection(SqliteConnection&& other) noexcept
        : db_(std::exchange(other.db_, nullptr)), kept_(std::move(other.kept_)) {}
    SqliteConnection& operator=(SqliteConnection&& other) noexcept;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    sqlite3* get() const { return db_; }

    // Statements stay prepared for reuse, found by their SQL text: preparing one
    // costs more than running it, and an instance writes hundreds of values when
    // it is built and torn down. A statement in use is never lent twice (a second
    // one is prepared). nullptr when the SQL does not prepare. Callers hold the
    // store's lock.
    sqlite3_stmt* borrow(std::string_view sql);
    void give_back(sqlite3_stmt* statement);  // reset, bindings cleared

private:
    void finalize_kept();
    struct Kept {
        std::string sql;
        sqlite3_stmt* statement = nullptr;
        bool lent = false;
    };
    sqlite3* db_ = nullptr;
    std::vector<Kept> kept_;
};
}  // namespace detail

// A handle to one key: the store and the key's id. Cheap to copy. A handle whose
// key has been deleted stays valid() but every operation on it fails (reads
// return false, writes return false, enumerations are empty); ids are never
// reused, so a stale handle never reaches a newer key.
class SettingsKey {
public:
    SettingsKey() = default;

    bool valid() const { return store_ != nullptr && id_ > 0; }
    SettingsStore* store() const { return store_; }  // for grouping writes in a Transaction
    std::string name() const;  // empty for the root or a deleted key

    std::optional<SettingsKey> create(std::string_view subkey) const;  // open or create
    std::optional<SettingsKey> open(std::string_view subkey) const;    // existing only

    // Reads set `value` and return true only when the value exists with the
    // expected type and size; otherwise `value` keeps what the caller put there.
    bool read_dword(std::string_view name, uint32_t& value) const;
    bool read_qword(std::string_view name, uint64_t& value) const;
    bool read_text(std::string_view name, std::string& value) const;
    bool read_binary(std::string_view name, std::span<std::byte> exact) const;
    bool read_binary(std::string_view name, std::vector<std::byte>& value) const;

    bool write_dword(std::string_view name, uint32_t value) const;
    bool write_qword(std::string_view name, uint64_t value) const;
    bool write_text(std::string_view name, std::string_view value) const;
    bool write_binary(std::string_view name, std::span<const std::byte> value) const;

    // A value kept inside a subkey of the same name (Index\Index). Reads never
    // create the subkey; writes create it.
    bool read_dword_in(std::string_view name, uint32_t& value) const;
    bool write_dword_in(std::string_view name, uint32_t value) const;
    bool read_qword_in(std::string_view name, uint64_t& value) const;
    bool write_qword_in(std::string_view name, uint64_t value) const;
    bool read_text_in(std::string_view name, std::string& value) const;
    bool write_text_in(std::string_view name, std::string_view value) const;

    bool delete_value(std::string_view name) const;          // false when there was no such value
    bool delete_subkey_tree(std::string_view subkey) const;  // the subkey and all below it; false when missing
    bool clear() const;                                      // all values and subkeys; the key stays
    // Renames a direct subkey in place; its values and subkeys follow. Fails with
    // nothing changed when `from` is missing or `to` exists.
    bool rename_subkey(std::string_view from, std::string_view to) const;

    // Names in enumeration order: case-insensitive (ASCII) first, then byte order.
    std::vector<std::string> subkeys() const;
    std::vector<std::string> value_names() const;
    std::optional<ValueType> value_type(std::string_view name) const;

private:
    friend class SettingsStore;
    SettingsKey(SettingsStore* store, int64_t id) : store_(store), id_(id) {}

    // Bytes of a value of the given type; false when missing or of another type.
    bool get(std::string_view name, ValueType type, std::vector<std::byte>& bytes) const;
    bool put(std::string_view name, ValueType type, std::span<const std::byte> bytes) const;

    SettingsStore* store_ = nullptr;
    int64_t id_ = 0;
};

class SettingsStore {
public:
    // What a commit promises. `on_disk`: it is on disk when it returns, so a power
    // cut keeps every committed value. `scratch`: for a copy that is thrown away
    // when the work ends (an offline render's snapshot); commits are not flushed.
    enum class Durability { on_disk, scratch };

    // Opens or creates the database file. Returns nullptr with a one-line reason
    // in `error` when the file cannot be opened, is not an SQLite database, fails
    // its integrity check or holds a schema that is not ours. A file that is
    // refused is left exactly as it was.
    static std::unique_ptr<SettingsStore> open(const std::filesystem::path& file, std::string& error,
                                               Durability durability = Durability::on_disk);

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    SettingsKey root() { return SettingsKey(this, kRootId); }

    // Groups writes into one atomic commit. Nestable: an inner transaction is a
    // savepoint (abandoning it undoes only its own writes); only the outermost one
    // commits to disk. Destroyed without commit() → rolled back. Holds the store's
    // lock for its whole lifetime, so keep it short.
    class Transaction {
    public:
        explicit Transaction(SettingsStore& store);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

        bool commit();  // false when the writes could not be made durable (then rolled back)

    private:
        friend class SettingsKey;
        bool active() const { return active_; }

        SettingsStore& store_;
        std::unique_lock<std::recursive_mutex> lock_;
        int depth_ = 0;
        bool active_ = false;
    };

private:
    friend class SettingsKey;
    static constexpr int64_t kRootId = 1;

    explicit SettingsStore(detail::SqliteConnection db) : db_(std::move(db)) {}

    std::recursive_mutex mutex_;
    detail::SqliteConnection db_;
    int tx_depth_ = 0;        // open Transaction objects
    bool tx_failed_ = false;  // the outermost transaction could not begin or was lost
};

// A consistent copy of the store file `from` in `to` (which must not exist), made
// while another process may be writing it (SQLite's VACUUM INTO, read-only).
bool snapshot_settings_file(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error);

// A restore staged for the next start: "settings.db.restore" beside the store.
inline constexpr const char* staged_restore_name = "settings.db.restore";
// At start, before the store is opened: a staged restore takes the store's place,
// the store it replaces is kept as "settings.db.before-restore-YYYYMMDD-HHMMSS".
// Returns that name (empty when nothing was staged); `error` when the swap failed
// (the store is then left as it was).
std::string take_staged_restore(const std::filesystem::path& home, std::string& error);

}  // namespace torvalen

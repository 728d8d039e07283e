#include "engine/settings_store.h"

#include <sys/stat.h>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

namespace torvalen {

namespace fs = std::filesystem;

namespace {

// Marks the file as ours ("TRVS"); the schema version lives in user_version.
constexpr int64_t kApplicationId = 0x54525653;
constexpr int64_t kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 5000;

// Keys form a tree through `parent`; the root is the only key without a parent.
// Ids come from AUTOINCREMENT so a deleted key's id is never handed out again.
// Names are BLOBs: compared byte for byte, any byte allowed.
constexpr const char* kSchema =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    "  name BLOB NOT NULL,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    "  name BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT INTO keys(id, parent, name) VALUES(1, NULL, X'');";

// One prepared statement, finalised when it goes out of scope. A statement that
// failed to prepare, or a failed bind, makes step() report an error.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
        }
    }
    // Borrows the connection's prepared statement for `sql`.
    Statement(detail::SqliteConnection& connection, std::string_view sql)
        : connection_(&connection), stmt_(connection.borrow(sql)) {}
    ~Statement() {
        if (!connection_) sqlite3_finalize(stmt_);
        else if (stmt_) connection_->give_back(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, int64_t value) {
        if (stmt_ && sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) bind_failed_ = true;
        return *this;
    }
    // Binds bytes as a BLOB; an empty range becomes a zero-length BLOB, never NULL.
    Statement& bind(int index, const void* data, size_t size) {
        if (!stmt_) return *this;
        int rc = size == 0 ? sqlite3_bind_zeroblob(stmt_, index, 0)
                           : sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT);
        if (rc != SQLITE_OK) bind_failed_ = true;
        return *this;
    }
    Statement& bind(int index, std::string_view bytes) { return bind(index, bytes.data(), bytes.size()); }

    int step() {
        if (!stmt_ || bind_failed_) return SQLITE_ERROR;
        return sqlite3_step(stmt_);
    }
    bool run() { return step() == SQLITE_DONE; }
    bool reset() {
        bind_failed_ = false;
        return stmt_ && sqlite3_reset(stmt_) == SQLITE_OK && sqlite3_clear_bindings(stmt_) == SQLITE_OK;
    }

    int64_t column_int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string column_string(int col) const {
        const void* data = sqlite3_column_blob(stmt_, col);
        int size = sqlite3_column_bytes(stmt_, col);
        if (!data || size <= 0) return {};
        return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
    }
    std::vector<std::byte> column_bytes(int col) const {
        const void* data = sqlite3_column_blob(stmt_, col);
        int size = sqlite3_column_bytes(stmt_, col);
        if (!data || size <= 0) return {};
        const auto* first = static_cast<const std::byte*>(data);
        return std::vector<std::byte>(first, first + size);
    }

private:
    detail::SqliteConnection* connection_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    bool bind_failed_ = false;
};

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
// One statement without results (transaction control), kept prepared.
bool exec(detail::SqliteConnection& db, std::string_view sql) { return Statement(db, sql).run(); }

// Runs a statement that yields one integer (pragmas, counts).
std::optional<int64_t> query_int(sqlite3* db, const char* sql) {
    Statement st(db, sql);
    if (st.step() != SQLITE_ROW) return std::nullopt;
    return st.column_int(0);
}

std::optional<int64_t> find_child(detail::SqliteConnection& db, int64_t parent, std::string_view name) {
    Statement st(db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
    st.bind(1, parent).bind(2, name);
    if (st.step() != SQLITE_ROW) return std::nullopt;
    return st.column_int(0);
}

bool key_exists(detail::SqliteConnection& db, int64_t id) {
    Statement st(db, "SELECT 1 FROM keys WHERE id = ?1");
    st.bind(1, id);
    return st.step() == SQLITE_ROW;
}

// Deletes the keys below `top` (and `top` itself when `with_top`) with their
// values. Keys go deepest first (a child's id is always above its parent's), so
// no delete ever cascades through more than one level however deep the tree is.
bool delete_tree(detail::SqliteConnection& db, int64_t top, bool with_top) {
    std::vector<int64_t> ids;
    {
        Statement st(db,
                     "WITH RECURSIVE tree(id) AS ("
                     "  SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id)"
                     " SELECT id FROM tree ORDER BY id DESC");
        st.bind(1, top);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) ids.push_back(st.column_int(0));
        if (rc != SQLITE_DONE) return false;
    }
    if (!with_top) std::erase(ids, top);
    Statement del(db, "DELETE FROM keys WHERE id = ?1");
    for (int64_t id : ids) {
        if (!del.reset() || !del.bind(1, id).run()) return false;
    }
    if (!with_top) {
        Statement vals(db, "DELETE FROM vals WHERE key = ?1");
        if (!vals.bind(1, top).run()) return false;
    }
    return true;
}

// Enumeration order: names compared with ASCII letters folded to upper case,
// ties broken by plain byte order so that "A" and "a" keep a stable order.
bool enumeration_before(const std::string& a, const std::string& b) {
    auto fold = [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
    };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char fa = fold(a[i]), fb = fold(b[i]);
        if (fa != fb) return fa < fb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

std::vector<std::string> sorted_names(detail::SqliteConnection& db, const char* sql, int64_t key) {
    std::vector<std::string> names;
    Statement st(db, sql);
    st.bind(1, key);
    while (st.step() == SQLITE_ROW) names.push_back(st.column_string(0));
    std::sort(names.begin(), names.end(), enumeration_before);
    return names;
}

template <typename T>
std::array<std::byte, sizeof(T)> little_endian(T value) {
    std::array<std::byte, sizeof(T)> bytes{};
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::byte>((value >> (8 * i)) & 0xff);
    return bytes;
}

template <typename T>
T from_little_endian(const std::vector<std::byte>& bytes) {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(std::to_integer<unsigned>(bytes[i])) << (8 * i);
    return value;
}

std::string last_error(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

// The first real finding of an integrity check, on one line. SQLite's report may
// put several findings, and a "*** in database main ***" heading, in one row.
std::string first_finding(const std::vector<std::string>& rows) {
    for (const std::string& row : rows) {
        size_t start = 0;
        while (start < row.size()) {
            size_t end = row.find('\n', start);
            if (end == std::string::npos) end = row.size();
            std::string_view line(row.data() + start, end - start);
            if (!line.empty() && !line.starts_with("***")) return std::string(line);
            start = end + 1;
        }
    }
    return "no finding reported";
}

enum class Inspection { Ours, Empty, Refused };

// Looks at an existing file through a read-only connection, which never writes
// to the database file (it will not even roll back a hot journal).
Inspection inspect(const fs::path& file, std::string& reason) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    detail::SqliteConnection db(raw);
    if (rc != SQLITE_OK) {
        reason = "cannot be opened: " + last_error(raw);
        return Inspection::Refused;
    }
    {
        Statement check(db.get(), "PRAGMA quick_check");
        std::vector<std::string> rows;
        while ((rc = check.step()) == SQLITE_ROW) rows.push_back(check.column_string(0));
        if (rc != SQLITE_DONE) {
            reason = "is unreadable: " + last_error(db.get());
            return Inspection::Refused;
        }
        if (rows.size() != 1 || rows[0] != "ok") {
            reason = "fails its integrity check: " + first_finding(rows);
            return Inspection::Refused;
        }
    }
    auto app_id = query_int(db.get(), "PRAGMA application_id");
    auto version = query_int(db.get(), "PRAGMA user_version");
    auto objects = query_int(db.get(), "SELECT count(*) FROM sqlite_master");
    if (!app_id || !version || !objects) {
        reason = "is unreadable: " + last_error(db.get());
        return Inspection::Refused;
    }
    if (*app_id == 0 && *version == 0 && *objects == 0) return Inspection::Empty;
    if (*app_id != kApplicationId) {
        reason = "is not a Torvalen settings database";
        return Inspection::Refused;
    }
    if (*version != kSchemaVersion) {
        reason = "has settings schema version " + std::to_string(*version) + ", this program knows version " +
                 std::to_string(kSchemaVersion);
        return Inspection::Refused;
    }
    auto tables = query_int(db.get(), "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('keys', 'vals')");
    auto roots = query_int(db.get(), "SELECT count(*) FROM keys WHERE id = 1 AND parent IS NULL");
    if (!tables || *tables != 2 || !roots || *roots != 1) {
        reason = "has a damaged settings schema";
        return Inspection::Refused;
    }
    return Inspection::Ours;
}

}  // namespace

namespace detail {
SqliteConnection::~SqliteConnection() {
    finalize_kept();
    sqlite3_close_v2(db_);
}

SqliteConnection& SqliteConnection::operator=(SqliteConnection&& other) noexcept {
    if (this != &other) {
        finalize_kept();
        sqlite3_close_v2(db_);
        db_ = std::exchange(other.db_, nullptr);
        kept_ = std::move(other.kept_);
    }
    return *this;
}

void SqliteConnection::finalize_kept() {
    for (Kept& k : kept_) sqlite3_finalize(k.statement);
    kept_.clear();
}

sqlite3_stmt* SqliteConnection::borrow(std::string_view sql) {
    for (Kept& k : kept_) {
        if (!k.lent && k.sql == sql) {
            k.lent = true;
            return k.statement;
        }
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &statement,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    constexpr std::size_t most_kept = 64;  // the store's statements, a few of them twice
    if (kept_.size() < most_kept) kept_.push_back({std::string(sql), statement, true});
    return statement;
}

void SqliteConnection::give_back(sqlite3_stmt* statement) {
    // A reset ends the statement's read or write; it must happen however it ran.
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (Kept& k : kept_) {
        if (k.statement == statement) {
            k.lent = false;
            return;
        }
    }
    sqlite3_finalize(statement);
}
}  // namespace detail

// ---------------------------------------------------------------------------
// SettingsStore

std::unique_ptr<SettingsStore> SettingsStore::open(const fs::path& file, std::string& error, Durability durability) {
    const std::string prefix = "settings file " + file.string() + " ";
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (ec && status.type() != fs::file_type::not_found) {
        error = prefix + "cannot be opened: " + ec.message();
        return nullptr;
    }
    const bool exists = status.type() != fs::file_type::not_found;
    bool fresh = !exists;
    if (exists) {
        if (status.type() != fs::file_type::regular) {
            error = prefix + "is not a regular file";
            return nullptr;
        }
        std::string reason;
        Inspection found = inspect(file, reason);
        if (found == Inspection::Refused) {
            error = prefix + reason;
            return nullptr;
        }
        fresh = found == Inspection::Empty;
    }

    sqlite3* raw = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (exists ? 0 : SQLITE_OPEN_CREATE);
    int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    detail::SqliteConnection db(raw);
    if (rc != SQLITE_OK) {
        error = prefix + "cannot be opened: " + last_error(raw);
        return nullptr;
    }
    // Only this user may read the store: it will hold the link's and the streams'
    // passwords. SQLite gives its journal files the database file's mode.
    ::chmod(file.c_str(), 0600);
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // WAL with synchronous=FULL: a commit is on disk when it returns, so a power
    // cut keeps every committed value. Should the file system refuse WAL, the
    // rollback journal it keeps is just as safe, only slower. A scratch copy skips
    // the flushes (dozens of them when an instance is built and torn down).
    const char* synchronous = durability == Durability::on_disk ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = OFF";
    if (!exec(db.get(), "PRAGMA foreign_keys = ON") || !exec(db.get(), "PRAGMA journal_mode = WAL") ||
        !exec(db.get(), synchronous)) {
        error = prefix + "cannot be set up: " + last_error(db.get());
        return nullptr;
    }
    if (fresh) {
        bool made = exec(db.get(), "BEGIN IMMEDIATE");
        // Still empty now that we hold the write lock? Then it is ours to lay out.
        auto objects = made ? query_int(db.get(), "SELECT count(*) FROM sqlite_master") : std::nullopt;
        made = made && objects == 0 && exec(db.get(), kSchema) &&
               exec(db.get(), ("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str()) &&
               exec(db.get(), ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str()) &&
               exec(db.get(), "COMMIT");
        if (!made) {
            error = prefix + "cannot be initialised: " + last_error(db.get());
            exec(db.get(), "ROLLBACK");
            return nullptr;
        }
    }
    return std::unique_ptr<SettingsStore>(new SettingsStore(std::move(db)));
}

namespace {
// "SAVEPOINT s3" and the like, built by appending (GCC 12 warns, wrongly, about
// overlapping copies in the operator+ chain).
std::string savepoint_sql(const char* verb, int depth) {
    std::string sql(verb);
    sql += std::to_string(depth);
    return sql;
}
}  // namespace

// Outermost: BEGIN IMMEDIATE … COMMIT. Inner: SAVEPOINT sN … RELEASE sN.
SettingsStore::Transaction::Transaction(SettingsStore& store) : store_(store), lock_(store.mutex_) {
    detail::SqliteConnection& db = store_.db_;
    depth_ = ++store_.tx_depth_;
    if (depth_ == 1) {
        active_ = exec(db, "BEGIN IMMEDIATE");
        store_.tx_failed_ = !active_;
    } else if (store_.tx_failed_ || sqlite3_get_autocommit(db.get())) {
        // The outer transaction never began, or SQLite rolled it back after an
        // error: nothing here may commit on its own.
        store_.tx_failed_ = true;
        active_ = false;
    } else {
        active_ = exec(db, savepoint_sql("SAVEPOINT s", depth_).c_str());
    }
}

bool SettingsStore::Transaction::commit() {
    if (!active_) return false;
    active_ = false;
    detail::SqliteConnection& db = store_.db_;
    if (depth_ == 1) {
        if (!store_.tx_failed_ && exec(db, "COMMIT")) return true;
        exec(db, "ROLLBACK");
        return false;
    }
    if (!store_.tx_failed_ && exec(db, savepoint_sql("RELEASE s", depth_).c_str())) return true;
    exec(db, savepoint_sql("ROLLBACK TO s", depth_).c_str());
    exec(db, savepoint_sql("RELEASE s", depth_).c_str());
    return false;
}

SettingsStore::Transaction::~Transaction() {
    detail::SqliteConnection& db = store_.db_;
    if (active_) {
        if (depth_ == 1) {
            exec(db, "ROLLBACK");
        } else {
            exec(db, savepoint_sql("ROLLBACK TO s", depth_).c_str());
            exec(db, savepoint_sql("RELEASE s", depth_).c_str());
        }
    }
    if (--store_.tx_depth_ == 0) store_.tx_failed_ = false;
}

// ---------------------------------------------------------------------------
// SettingsKey

std::string SettingsKey::name() const {
    if (!valid()) return {};
    std::lock_guard lock(store_->mutex_);
    Statement st(store_->db_, "SELECT name FROM keys WHERE id = ?1");
    st.bind(1, id_);
    return st.step() == SQLITE_ROW ? st.column_string(0) : std::string();
}

std::optional<SettingsKey> SettingsKey::create(std::string_view subkey) const {
    if (!valid() || subkey.empty()) return std::nullopt;
    SettingsStore::Transaction tx(*store_);
    if (!tx.active()) return std::nullopt;
    detail::SqliteConnection& db = store_->db_;
    // A missing parent makes the insert fail on its foreign key, even with OR IGNORE.
    Statement insert(db, "INSERT OR IGNORE INTO keys(parent, name) VALUES(?1, ?2)");
    if (!insert.bind(1, id_).bind(2, subkey).run()) return std::nullopt;
    auto id = find_child(db, id_, subkey);
    if (!id || !tx.commit()) return std::nullopt;
    return SettingsKey(store_, *id);
}

std::optional<SettingsKey> SettingsKey::open(std::string_view subkey) const {
    if (!valid() || subkey.empty()) return std::nullopt;
    std::lock_guard lock(store_->mutex_);
    auto id = find_child(store_->db_, id_, subkey);
    if (!id) return std::nullopt;
    return SettingsKey(store_, *id);
}

bool SettingsKey::get(std::string_view name, ValueType type, std::vector<std::byte>& bytes) const {
    if (!valid()) return false;
    std::lock_guard lock(store_->mutex_);
    Statement st(store_->db_, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2");
    st.bind(1, id_).bind(2, name);
    if (st.step() != SQLITE_ROW || st.column_int(0) != static_cast<int64_t>(type)) return false;
    bytes = st.column_bytes(1);
    return true;
}

bool SettingsKey::put(std::string_view name, ValueType type, std::span<const std::byte> bytes) const {
    if (!valid()) return false;
    SettingsStore::Transaction tx(*store_);
    if (!tx.active()) return false;
    // A deleted key makes the insert fail on its foreign key.
    Statement st(store_->db_,
                 "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
                 " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    st.bind(1, id_).bind(2, name).bind(3, static_cast<int64_t>(type)).bind(4, bytes.data(), bytes.size());
    return st.run() && tx.commit();
}

bool SettingsKey::read_dword(std::string_view name, uint32_t& value) const {
    std::vector<std::byte> bytes;
    if (!get(name, ValueType::Dword, bytes) || bytes.size() != sizeof(uint32_t)) return false;
    value = from_little_endian<uint32_t>(bytes);
    return true;
}

bool SettingsKey::read_qword(std::string_view name, uint64_t& value) const {
    std::vector<std::byte> bytes;
    if (!get(name, ValueType::Qword, bytes) || bytes.size() != sizeof(uint64_t)) return false;
    value = from_little_endian<uint64_t>(bytes);
    return true;
}

bool SettingsKey::read_text(std::string_view name, std::string& value) const {
    std::vector<std::byte> bytes;
    if (!get(name, ValueType::Text, bytes)) return false;
    value.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
}

bool SettingsKey::read_binary(std::string_view name, std::span<std::byte> exact) const {
    std::vector<std::byte> bytes;
    if (!get(name, ValueType::Binary, bytes) || bytes.size() != exact.size()) return false;
    std::copy(bytes.begin(), bytes.end(), exact.begin());
    return true;
}

bool SettingsKey::read_binary(std::string_view name, std::vector<std::byte>& value) const {
    std::vector<std::byte> bytes;
    if (!get(name, ValueType::Binary, bytes)) return false;
    value = std::move(bytes);
    return true;
}

bool SettingsKey::write_dword(std::string_view name, uint32_t value) const {
    return put(name, ValueType::Dword, little_endian(value));
}

bool SettingsKey::write_qword(std::string_view name, uint64_t value) const {
    return put(name, ValueType::Qword, little_endian(value));
}

bool SettingsKey::write_text(std::string_view name, std::string_view value) const {
    return put(name, ValueType::Text, std::as_bytes(std::span(value.data(), value.size())));
}

bool SettingsKey::write_binary(std::string_view name, std::span<const std::byte> value) const {
    return put(name, ValueType::Binary, value);
}

bool SettingsKey::read_dword_in(std::string_view name, uint32_t& value) const {
    if (!valid()) return false;
    std::lock_guard lock(store_->mutex_);
    auto sub = open(name);
    return sub && sub->read_dword(name, value);
}

bool SettingsKey::read_qword_in(std::string_view name, uint64_t& value) const {
    if (!valid()) return false;
    std::lock_guard lock(store_->mutex_);
    auto sub = open(name);
    return sub && sub->read_qword(name, value);
}

bool SettingsKey::read_text_in(std::string_view name, std::string& value) const {
    if (!valid()) return false;
    std::lock_guard lock(store_->mutex_);
    auto sub = open(name);
    return sub && sub->read_text(name, value);
}

bool SettingsKey::write_dword_in(std::string_view name, uint32_t value) const {
    if (!valid()) return false;
    SettingsStore::Transaction tx(*store_);
    auto sub = create(name);
    return sub && sub->write_dword(name, value) && tx.commit();
}

bool SettingsKey::write_qword_in(std::string_view name, uint64_t value) const {
    if (!valid()) return false;
    SettingsStore::Transaction tx(*store_);
    auto sub = create(name);
    return sub && sub->write_qword(name, value) && tx.commit();
}

bool SettingsKey::write_text_in(std::string_view name, std::string_view value) const {
    if (!valid()) return false;
    SettingsStore::Transaction tx(*store_);
    auto sub = create(name);
    return sub && sub->write_text(name, value) && tx.commit();
}

bool SettingsKey::delete_value(std::string_view name) const {
    if (!valid()) return false;
    SettingsStore::Transaction tx(*store_);
    if (!tx.active()) return false;
    detail::SqliteConnection& db = store_->db_;
    Statement st(db, "DELETE FROM vals WHERE key = ?1 AND name = ?2");
    return st.bind(1, id_).bind(2, name).run() && sqlite3_changes(db.get()) > 0 && tx.commit();
}

bool SettingsKey::delete_subkey_tree(std::string_view subkey) const {
    if (!valid() || subkey.empty()) return false;
    SettingsStore::Transaction tx(*store_);
    if (!tx.active()) return false;
    detail::SqliteConnection& db = store_->db_;
    auto id = find_child(db, id_, subkey);
    return id && delete_tree(db, *id, true) && tx.commit();
}

bool SettingsKey::clear() const {
    if (!valid()) return false;
    SettingsStore::Transaction tx(*store_);
    if (!tx.active()) return false;
    detail::SqliteConnection& db = store_->db_;
    return key_exists(db, id_) && delete_tree(db, id_, false) && tx.commit();
}

bool SettingsKey::rename_subkey(std::string_view from, std::string_view to) const {
    if (!valid() || from.empty() || to.empty()) return false;
    SettingsStore::Transaction tx(*store_);
    if (!tx.active()) return false;
    detail::SqliteConnection& db = store_->db_;
    if (from == to) return find_child(db, id_, from).has_value() && tx.commit();
    // An existing `to` violates UNIQUE(parent, name): the update fails and changes nothing.
    Statement st(db, "UPDATE keys SET name = ?3 WHERE parent = ?1 AND name = ?2");
    return st.bind(1, id_).bind(2, from).bind(3, to).run() && sqlite3_changes(db.get()) == 1 && tx.commit();
}

std::vector<std::string> SettingsKey::subkeys() const {
    if (!valid()) return {};
    std::lock_guard lock(store_->mutex_);
    return sorted_names(store_->db_, "SELECT name FROM keys WHERE parent = ?1", id_);
}

std::vector<std::string> SettingsKey::value_names() const {
    if (!valid()) return {};
    std::lock_guard lock(store_->mutex_);
    return sorted_names(store_->db_, "SELECT name FROM vals WHERE key = ?1", id_);
}

std::optional<ValueType> SettingsKey::value_type(std::string_view name) const {
    if (!valid()) return std::nullopt;
    std::lock_guard lock(store_->mutex_);
    Statement st(store_->db_, "SELECT type FROM vals WHERE key = ?1 AND name = ?2");
    st.bind(1, id_).bind(2, name);
    if (st.step() != SQLITE_ROW) return std::nullopt;
    return static_cast<ValueType>(st.column_int(0));
}

bool snapshot_settings_file(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(from.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = "cannot read " + from.string() + ": " + sqlite3_errmsg(db);
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 5000);
    std::string quoted;
    for (char c : to.string()) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    const std::string sql = "VACUUM INTO '" + quoted + "'";
    char* message = nullptr;
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
    if (!ok) error = "cannot copy " + from.string() + ": " + (message ? message : "unknown error");
    sqlite3_free(message);
    sqlite3_close(db);
    return ok;
}

std::string take_staged_restore(const std::filesystem::path& home, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path staged = home / staged_restore_name;
    if (!fs::exists(staged, ec)) return {};
    const fs::path store = home / "settings.db";
    std::string kept;
    if (fs::exists(store, ec)) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        kept = std::string("settings.db.before-restore-") + stamp;
        fs::rename(store, home / kept, ec);
        if (ec) {
            error = "cannot keep " + store.string() + " before the restore: " + ec.message();
            return {};
        }
        // A journal of the replaced store belongs to it, not to the restored one.
        for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::rename(home / (std::string("settings.db") + suffix), home / (kept + suffix), ec);
    }
    fs::rename(staged, store, ec);
    if (ec) {
        error = "cannot put the restored settings in place: " + ec.message();
        if (!kept.empty()) fs::rename(home / kept, store, ec);
        return {};
    }
    return kept.empty() ? std::string("(none)") : kept;
}

}  // namespace torvalen

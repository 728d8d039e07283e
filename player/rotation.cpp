#include "player/rotation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <unordered_set>

#include "engine/user_text.h"
#include "player/file_decoder.h"

namespace torvalen::player {

std::string entry_text(std::string_view path) {
    const std::filesystem::path file{std::string(path)};
    if (const auto tags = ReadFileTags(file); tags && tags->complete())
        return *tags->artist + " - " + *tags->title;
    return file_name_text(path);
}

std::string file_name_text(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return display_path(std::filesystem::path{std::string(name)});
}

ListEntry make_entry(std::string path) {
    ListEntry entry;
    entry.text = entry_text(path);
    entry.path = std::move(path);
    return entry;
}

bool listable_path(std::string_view path) {
    return !path.empty() && path.size() <= max_path_bytes &&
           path.find('\0') == std::string_view::npos && path.find('\n') == std::string_view::npos;
}

bool valid_rotation_name(std::string_view name) {
    if (name.empty() || !clean_user_text(name) || name.find('/') != std::string_view::npos) return false;
    size_t chars = 0;
    for (size_t at = 0; at < name.size(); at += utf8_sequence_length(name.substr(at))) ++chars;
    return chars <= max_rotation_name_chars;
}

// ---- List files ----

namespace {
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};
}  // namespace

ListFileRead read_list_file(const std::filesystem::path& file, size_t max_paths, bool refuse_overflow) {
    ListFileRead out;
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        out.status = errno == ENOENT ? ListFileStatus::missing : ListFileStatus::unreadable;
        return out;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        out.status = ListFileStatus::unreadable;
        return out;
    }
    // Room for every path at its longest, plus some empty lines.
    const size_t limit = max_paths * (max_path_bytes + 1) + 4096;
    std::string text;
    text.resize(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), limit) + 1);
    size_t have = 0;
    while (have < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + have, text.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            out.status = ListFileStatus::unreadable;
            return out;
        }
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    const bool over_limit = have > limit;
    text.resize(std::min(have, limit));

    size_t line = 0;
    size_t start = 0;
    while (start < text.size()) {
        ++line;
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            if (over_limit) break;  // the rest lies beyond what the list can take
            out.status = ListFileStatus::truncated;
            out.line = line;
            return out;
        }
        const std::string_view path(text.data() + start, end - start);
        start = end + 1;
        if (path.empty()) continue;
        if (path.size() > max_path_bytes || path.find('\0') != std::string_view::npos) {
            out.status = ListFileStatus::damaged;
            out.line = line;
            return out;
        }
        if (out.paths.size() == max_paths) {
            if (refuse_overflow) {
                out.paths.clear();
                out.status = ListFileStatus::too_large;
            }
            return out;
        }
        out.paths.emplace_back(path);
    }
    if (over_limit) {
        if (refuse_overflow || out.paths.size() < max_paths) {
            if (refuse_overflow) out.paths.clear();
            out.status = ListFileStatus::too_large;
        }
    }
    return out;
}

std::string list_file_text(std::span<const std::string> paths) {
    std::string text;
    for (const auto& path : paths) {
        text += path;
        text += '\n';
    }
    return text;
}

std::string_view describe(ListFileStatus status) {
    switch (status) {
        case ListFileStatus::ok: return "read";
        case ListFileStatus::missing: return "missing";
        case ListFileStatus::unreadable: return "cannot be read";
        case ListFileStatus::too_large: return "holds more than the list takes";
        case ListFileStatus::damaged: return "damaged (a line too long or holding a zero byte); read up to it";
        case ListFileStatus::truncated: return "cut short (the last line has no line feed); read up to it";
    }
    return "?";
}

// ---- Playlist ----

ListResult Playlist::append(ListEntry entry) {
    if (entries_.size() >= max_playlist_entries) return ListResult::refused(text_max_entries, caption_warning);
    if (!listable_path(entry.path)) return ListResult::refused(text_bad_path, caption_error);
    entries_.push_back(std::move(entry));
    return ListResult::ok();
}

ListResult Playlist::append_dropped(std::vector<ListEntry> entries) {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (entries_.size() >= max_playlist_entries) return ListResult::warned(text_max_files, caption_warning);
        if (listable_path(it->path)) entries_.push_back(std::move(*it));
    }
    return ListResult::ok();
}

void Playlist::assign(std::vector<ListEntry> entries) {
    entries_ = std::move(entries);
    cursor_ = 0;
}

bool Playlist::move(size_t from, size_t to) {
    if (from >= entries_.size() || to >= entries_.size()) return false;
    if (from < to)
        std::rotate(entries_.begin() + from, entries_.begin() + from + 1, entries_.begin() + to + 1);
    else if (to < from)
        std::rotate(entries_.begin() + to, entries_.begin() + from, entries_.begin() + from + 1);
    return true;
}

bool Playlist::remove(size_t index) {
    if (index >= entries_.size()) return false;
    entries_.erase(entries_.begin() + index);
    return true;
}

void Playlist::clear() {
    entries_.clear();
    cursor_ = 0;
}

std::optional<std::string> Playlist::next(uint32_t mode) {
    if (entries_.empty()) {
        cursor_ = 0;
        return std::nullopt;
    }
    if (mode == 0) {
        std::string path = std::move(entries_.front().path);
        entries_.erase(entries_.begin());
        cursor_ = 0;
        return path;
    }
    if (cursor_ >= entries_.size()) cursor_ = 0;
    std::string path = entries_[cursor_].path;
    ++cursor_;
    if (cursor_ >= entries_.size()) cursor_ = 0;
    return path;
}

std::vector<std::string> Playlist::paths() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& entry : entries_) out.push_back(entry.path);
    return out;
}

// ---- Rotations ----

void normalize_weights(std::span<Rotation> rotations) {
    double sum = 0.0;
    for (auto& r : rotations) {
        r.weight = std::clamp<uint32_t>(r.weight, 1, 10);
        if (r.eligible()) sum += r.weight;
    }
    const double scale = std::min(1.0 / std::max(sum, 1e-10), 1.0);
    for (auto& r : rotations)
        if (r.eligible()) r.normalized_weight = static_cast<float>(r.weight * scale);
}

void reset_running_weights(std::span<Rotation> rotations) {
    float largest = 0.0f;
    for (const auto& r : rotations)
        if (r.enable == 1) largest = std::max(largest, r.normalized_weight);
    if (!(largest > 0.0f)) return;
    for (auto& r : rotations)
        if (r.eligible()) r.running_weight = r.normalized_weight / std::max(largest, 1e-10f);
}

std::optional<std::string> pick_rotation(std::span<Rotation> rotations, size_t* picked) {
    Rotation* chosen = nullptr;
    for (auto& r : rotations)
        if (r.eligible() && (!chosen || r.running_weight > chosen->running_weight)) chosen = &r;
    if (!chosen) return std::nullopt;
    chosen->running_weight *= chosen->normalized_weight;
    // The largest among the rotations that can be picked: an enabled rotation
    // without content keeps its running weight and must not hold the others down,
    // or theirs would shrink towards zero and the order would be lost.
    float largest = 1e-10f;
    for (const auto& r : rotations)
        if (r.eligible()) largest = std::max(largest, r.running_weight);
    for (auto& r : rotations)
        if (r.eligible()) r.running_weight /= largest;

    if (chosen->current >= chosen->paths.size()) chosen->current = 0;
    std::string path = chosen->paths[chosen->current];
    ++chosen->current;
    if (chosen->current >= chosen->paths.size()) chosen->current = 0;
    if (picked) *picked = static_cast<size_t>(chosen - rotations.data());
    return path;
}

void remove_duplicate_entries(std::vector<ListEntry>& entries) {
    std::unordered_set<std::string> seen;
    std::erase_if(entries, [&](const ListEntry& e) { return !seen.insert(e.path).second; });
}

}  // namespace torvalen::player

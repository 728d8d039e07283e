#include "app/compliance_log.h"

#include <cstdio>
#include <ctime>

#include "app/application.h"
#include "broadcast/compliance.h"
#include "broadcast/sound_out.h"
#include "engine/log.h"

namespace torvalen {

namespace fs = std::filesystem;

namespace {

int64_t minutes_of(ComplianceLog::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::minutes>(t.time_since_epoch()).count();
}

std::string utc_text(ComplianceLog::Clock::time_point t, const char* format) {
    const std::time_t seconds = ComplianceLog::Clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

// An instance name as part of a file name: letters, digits, blank, '-', '_' and
// '.' stay (a leading '.' does not), anything else becomes '_'.
std::string file_safe(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
                           c == '-' || c == '_' || (c == '.' && !out.empty());
        out += plain ? c : '_';
    }
    return out.empty() ? "_" : out;
}

}  // namespace

std::string ComplianceLog::line(const broadcast::CompliancePeriod& p, Clock::time_point minute_start) {
    char text[128];
    std::snprintf(text, sizeof text, "%s,%.2f,%.1f,%.1f,%d\n", utc_text(minute_start, "%Y-%m-%dT%H:%M:%SZ").c_str(),
                  broadcast::period_power_dBr(p), 100.0 * p.max_deviation, 100.0 * p.pilot, p.rds ? 1 : 0);
    return text;
}

fs::path ComplianceLog::file_for(const std::string& instance, Clock::time_point t) const {
    return folder_ / (file_safe(instance) + "-" + utc_text(t, "%Y-%m-%d") + ".csv");
}

void ComplianceLog::write(const std::string& instance, const broadcast::CompliancePeriod& period,
                          Clock::time_point start) {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    const fs::path file = file_for(instance, start);
    const bool fresh = !fs::exists(file, ec);
    std::FILE* f = std::fopen(file.c_str(), "ae");
    if (!f) {
        if (!warned_) log_event("compliance", "cannot write " + file.string());
        warned_ = true;
        return;
    }
    warned_ = false;
    if (fresh) std::fprintf(f, "%s\n", header);
    const std::string text = line(period, start);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

void ComplianceLog::delete_old(Clock::time_point today) {
    const std::string oldest = utc_text(today - std::chrono::hours(24 * keep_days), "%Y-%m-%d");
    std::error_code ec;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // "<instance>-YYYY-MM-DD.csv": the date is the 14 characters before ".csv".
        if (name.size() < 16 || name.compare(name.size() - 4, 4, ".csv") != 0) continue;
        const std::string day = name.substr(name.size() - 14, 10);
        if (name[name.size() - 15] != '-' || day[4] != '-' || day[7] != '-') continue;
        if (day < oldest) fs::remove(it->path(), ec);
    }
}

void ComplianceLog::poll(Application& app, Clock::time_point now) {
    const int64_t minute = minutes_of(now);
    const Clock::time_point minute_start{std::chrono::minutes(minute)};
    const bool new_minute = minute != minute_;
    minute_ = minute;
    if (const int64_t day = minute / (24 * 60); day != cleaned_day_) {
        cleaned_day_ = day;
        delete_old(now);
    }

    std::map<std::string, Source> seen;
    for (const std::string& name : app.instance_names()) {
        Instance* instance = app.find(name);
        auto* out = instance ? dynamic_cast<broadcast::SoundOut*>(instance->sound_out()) : nullptr;
        if (!out) continue;
        Source s;
        if (const auto it = sources_.find(name); it != sources_.end() && it->second.module == out) s = it->second;
        s.module = out;
        broadcast::CompliancePeriod period;
        if (out->compliance().take(period)) {
            if (s.closing && period.frames > 0) write(name, period, *s.closing);
            s.closing.reset();
        }
        if (new_minute) {
            // A period not yet back is dropped: the engine has not run since.
            out->compliance().close_period();
            s.closing = s.started;  // none for a first, partial period
            s.started = minute_start;
            if (!sources_.count(name) || sources_[name].module != out) s.closing.reset(), s.started.reset();
        }
        seen[name] = s;
    }
    sources_ = std::move(seen);
}

}  // namespace torvalen

// The compliance log regulators ask for: once a minute, for every instance that
// builds the multiplex (192 kHz, MPX on), one CSV line with the minute's start
// (UTC), the multiplex power over the minute in dBr (0 dBr: a sine whose peak is
// 19/75 of full scale), the largest deviation in kHz, the pilot level and whether
// RDS was on. One file per instance and day, "<instance>-YYYY-MM-DD.csv", in the
// folder given (the data folder's "compliance"); files older than 400 days are
// deleted. The first, partial minute after a start is not written.
//
// Control thread only (poll()).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace torvalen {

class Application;

namespace broadcast {
struct CompliancePeriod;
}

class ComplianceLog {
public:
    using Clock = std::chrono::system_clock;
    static constexpr int keep_days = 400;

    explicit ComplianceLog(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // Call often (every second or so): at each new minute it closes the running
    // period of every instance's Sound Out, and writes the periods that came back.
    void poll(Application& app, Clock::time_point now);

    // One line for `period`, which started at `minute_start`.
    static std::string line(const broadcast::CompliancePeriod& period, Clock::time_point minute_start);
    static constexpr const char* header = "time (UTC),MPX power (dBr),largest deviation (kHz),pilot (%),RDS";
    // The file of `instance` for the day of `t` (UTC).
    std::filesystem::path file_for(const std::string& instance, Clock::time_point t) const;
    // Deletes this log's files of days more than keep_days before `today`.
    void delete_old(Clock::time_point today);

private:
    struct Source {
        const void* module = nullptr;             // the Sound Out being logged
        std::optional<Clock::time_point> started;  // start of the running period (none: partial)
        std::optional<Clock::time_point> closing;  // start of the period asked to close
    };
    void write(const std::string& instance, const broadcast::CompliancePeriod& period, Clock::time_point start);

    std::filesystem::path folder_;
    std::map<std::string, Source> sources_;  // by instance name
    int64_t minute_ = -1;                   // minutes since the epoch at the last poll
    int64_t cleaned_day_ = -1;
    bool warned_ = false;
};

}  // namespace torvalen

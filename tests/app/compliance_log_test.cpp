#include <gtest/gtest.h>

#include <fstream>

#include "app/compliance_log.h"
#include "broadcast/compliance.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

namespace fs = std::filesystem;
using Clock = ComplianceLog::Clock;

TEST(ComplianceLog, LinesFilesAndFourHundredDaysKept) {
    testing::TempDir dir{"torvalen-compliance"};
    ComplianceLog log(dir.path());
    // 2026-12-08 18:45:00 UTC
    const Clock::time_point t{std::chrono::seconds(1796755500)};
    broadcast::CompliancePeriod p;
    p.frames = 192000 * 60;
    p.square_sum = broadcast::compliance_reference_power * 2.0 * static_cast<double>(p.frames);  // +3.01 dBr
    p.max_deviation = 0.7512f;
    p.pilot = 0.09f;
    p.rds = true;
    EXPECT_EQ(ComplianceLog::line(p, t), "2026-12-08T18:45:00Z,3.01,75.1,9.0,1\n");
    EXPECT_EQ(ComplianceLog::line(broadcast::CompliancePeriod{}, t), "2026-12-08T18:45:00Z,-200.00,0.0,0.0,0\n");

    // Names that are not file names stay inside the folder.
    EXPECT_EQ(log.file_for("Studio 1", t), dir / "Studio 1-2026-12-08.csv");
    EXPECT_EQ(log.file_for("../etc/x", t), dir / "_._etc_x-2026-12-08.csv");

    const auto day = std::chrono::hours(24);
    for (const auto& name : {log.file_for("A", t - 401 * day), log.file_for("A", t - 399 * day),
                             log.file_for("A", t), dir / "notes.csv", dir / "A-2025-13.csv"})
        std::ofstream(name) << "x\n";
    log.delete_old(t);
    EXPECT_FALSE(fs::exists(log.file_for("A", t - 401 * day)));
    EXPECT_TRUE(fs::exists(log.file_for("A", t - 399 * day)));
    EXPECT_TRUE(fs::exists(log.file_for("A", t)));
    EXPECT_TRUE(fs::exists(dir / "notes.csv"));
    EXPECT_TRUE(fs::exists(dir / "A-2025-13.csv"));
}

}  // namespace
}  // namespace torvalen

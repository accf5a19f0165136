// The engine's progress reports turned into the job's record.
#include "engine/engine_progress.h"

#include <gtest/gtest.h>

#include "service/base/job.h"

TEST(RateRing, AveragesTheLastTenSecondsOfReports) {
    RateRing ring;
    ring.Push(100, 1000);
    ring.Push(115, 3000);
    EXPECT_EQ(ring.Average(), 3000);
    RateRing close;
    close.Push(100, 1000);
    close.Push(105, 3000);
    EXPECT_EQ(close.Average(), 2000);
    // A stamp that goes back is no sample of the newest window.
    close.Push(50, 500);
    EXPECT_EQ(close.Average(), 500);
    close.Clear();
    EXPECT_EQ(close.Average(), 0);
    close.Push(7, 70);
    EXPECT_EQ(close.Average(), 70);  // nothing of before the clear is left
}

// A job of three files the service knows the sizes of, read against reports.
class EngineProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(job_.AddFile("http://h/a.pak", "/f/", "a.pak"));
        ASSERT_TRUE(job_.AddFile("http://h/b.pak", "/f/", "b.pak"));
        ASSERT_TRUE(job_.AddFile("http://h/c.pak", "/f/", "c.pak"));
        facts_.sizes = &sizes_;
    }
    JobProgress Report(std::uint64_t total, std::uint64_t held, std::int64_t nowMs,
                       std::size_t filesDone = 0) {
        ProgressReport report;
        report.fileCount = 3;
        report.totalBytes = total;
        report.receivedBytes = held;
        report.elapsedSeconds = 1000000000000000ull;  // never shown
        facts_.filesDone = filesDone;
        facts_.nowMs = nowMs;
        facts_.elapsedMs = nowMs - 1000;
        return MakeEngineProgress(report, job_, facts_, &marks_, &lie_);
    }

    CJob job_{1, "k", nullptr};
    std::vector<std::int64_t> sizes_{1000, 3000, 6000};
    EngineJobFacts facts_;
    EngineProgressMarks marks_;
    std::string lie_;
};

TEST_F(EngineProgressTest, TotalIsTheKnownSizesFromTheFirstReportAndBarsNeverGoBack) {
    // An engine that counts only the files it has started: its total climbs.
    JobProgress p = Report(1000, 900, 2000);
    EXPECT_EQ(p.total, 10000);
    EXPECT_EQ(p.held, 900);
    EXPECT_EQ(p.percent, 9);
    EXPECT_EQ(p.elapsed, 1);  // from the service's clock
    EXPECT_EQ(p.currentIndex, 0);
    EXPECT_EQ(p.currentPercent, 90);
    EXPECT_FALSE(lie_.empty());
    // The first file is found whole; 500 bytes of the second are held.
    p = Report(4000, 1500, 3000, 1);
    EXPECT_EQ(p.total, 10000);
    EXPECT_EQ(p.percent, 15);
    EXPECT_EQ(p.currentIndex, 1);
    EXPECT_STREQ(p.currentName, "b.pak");
    EXPECT_EQ(p.currentSize, 3000);
    EXPECT_EQ(p.currentHeld, 500);
    EXPECT_EQ(p.rate, 600);  // 600 bytes grew in one second
    EXPECT_EQ(p.left, 8500 / 600);
    // A report that goes back shows what was shown.
    p = Report(10000, 1200, 4000, 1);
    EXPECT_EQ(p.held, 1500);
    EXPECT_EQ(p.percent, 15);
    EXPECT_EQ(p.currentPercent, 16);
}

TEST_F(EngineProgressTest, OverstatedFiguresAreClampedAndNamed) {
    JobProgress p = Report(10000, ~0ull, 2000, 9);
    EXPECT_EQ(p.held, 10000);
    EXPECT_EQ(p.percent, 100);
    EXPECT_EQ(p.filesDone, 3);
    EXPECT_EQ(p.currentIndex, 2);
    EXPECT_EQ(p.currentPercent, 100);
    EXPECT_EQ(p.left, 0);
    EXPECT_FALSE(lie_.empty());
    lie_.clear();
    EngineProgressMarks fresh;
    marks_ = fresh;
    (void)Report(10000, 10, 2000);
    EXPECT_TRUE(lie_.empty()) << lie_;
}

TEST_F(EngineProgressTest, FinalRecordFillsBothBars) {
    (void)Report(10000, 9000, 2000, 2);
    facts_.filesDone = 3;
    const JobProgress p = FinalEngineProgress(job_, facts_, marks_);
    EXPECT_EQ(p.held, 10000);
    EXPECT_EQ(p.percent, 100);
    EXPECT_EQ(p.currentPercent, 100);
    EXPECT_EQ(p.currentIndex, 2);
    EXPECT_STREQ(p.currentName, "c.pak");
    EXPECT_EQ(p.filesDone, 3);
}

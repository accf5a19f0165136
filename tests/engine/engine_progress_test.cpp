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

TEST(EngineProgress, FillsTheRecordAndClampsWhatTheEngineOverstates) {
    CJob job(1, "k", nullptr);
    ASSERT_TRUE(job.AddFile("http://h/a.pak", "/f/", "a.pak"));
    ASSERT_TRUE(job.AddFile("http://h/b.pak", "/f/", "b.pak"));
    ProgressReport report;
    report.fileCount = 2;
    report.filesDone = 9;  // past the last file
    report.totalBytes = 1000;
    report.receivedBytes = 500;
    report.speed = 100;
    report.elapsedSeconds = 5;
    report.hasFirstRecord = true;
    report.first = {400, 100, 50};
    EngineJobRings rings;
    JobProgress progress = MakeEngineProgress(report, job, &rings);
    EXPECT_EQ(progress.percent, 50);
    EXPECT_EQ(progress.rate, 100);
    EXPECT_EQ(progress.left, 5);
    EXPECT_EQ(progress.currentIndex, 1);
    EXPECT_STREQ(progress.currentName, "b.pak");
    EXPECT_EQ(progress.currentPercent, 25);
    EXPECT_EQ(progress.currentLeft, 6);
    report.receivedBytes = ~0ull;  // a hostile count: no wrap, no sign change
    progress = MakeEngineProgress(report, job, &rings);
    EXPECT_GT(progress.held, 0);
    EXPECT_EQ(progress.percent, 100);
    EXPECT_EQ(progress.left, 0);
}

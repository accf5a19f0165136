// The job downloader frame: attach / detach, the 1000 ms tick and the
// forwarders, driven by the service's real worker thread.
#include <gtest/gtest.h>

#include <algorithm>

#include "service/base/job.h"
#include "tests/support/service_fixture.h"

namespace {

class JobDownloaderTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        direct_ = InstallDirectDownloader();
    }
    CJob* StartedJob() {
        CJob* job = nullptr;
        EXPECT_EQ(Manager()->CreateJob(&job, "k"), 512);
        EXPECT_EQ(
            Manager()->AddJobFile(job, "http://a.example/f.pak", (downloads_.Path() + "d").c_str()),
            512);
        EXPECT_EQ(Manager()->StartJob(job, 1), 512);
        return job;
    }
    bool TickRunning() {
        cpLockGuard guard(Manager()->Lock());
        return direct_->TickRunning();
    }

    TestDownloader* direct_ = nullptr;
};

}  // namespace

TEST_F(JobDownloaderTest, TheLogIsEmptiedOncePerServiceStartNotByEachDownloader) {
    // The service's start emptied the log and wrote the launch line; the test
    // downloader made afterwards erased nothing of it.
    std::vector<std::string> lines = ServiceLogMessages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[OstrelLib] Launch(3.4.0.10)");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[OstrelLib] Launch(3.4.0.10)"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[OstrelLib] Initialize"), 1);
}

TEST_F(JobDownloaderTest, TickRunsFromFirstAttachToLastDetach) {
    EXPECT_FALSE(TickRunning());
    CJob* a = StartedJob();
    CJob* b = StartedJob();
    EXPECT_TRUE(TickRunning());
    EXPECT_EQ(Manager()->StopJob(a), 512);
    EXPECT_TRUE(TickRunning());
    EXPECT_EQ(Manager()->StopJob(b), 512);
    EXPECT_FALSE(TickRunning());
    EXPECT_EQ(Manager()->StartJob(a, 1), 512);
    EXPECT_TRUE(TickRunning());
}

TEST_F(JobDownloaderTest, AttachingAHeldJobChangesNothing) {
    CJob* job = StartedJob();
    cpLockGuard guard(Manager()->Lock());
    EXPECT_EQ(direct_->AttachJob(job), 515);
    EXPECT_EQ(direct_->HeldJobs().size(), 1u);
    EXPECT_EQ(direct_->begun.size(), 1u);
    EXPECT_EQ(direct_->DetachJob(job), 512);
    EXPECT_EQ(direct_->DetachJob(job), 516);
    EXPECT_EQ(direct_->AnswerResume(job, 1, 1), 516);
}

TEST_F(JobDownloaderTest, TickChecksEveryJobButReportsProgressOnlyOnceBytesArrived) {
    CJob* quiet = StartedJob();
    CJob* busy = StartedJob();
    JobProgress progress;
    progress.held = 4096;
    UnderLock([&] { direct_->NotifyJobProgress(busy, progress); });
    ASSERT_TRUE(events_.WaitFor(514, 2, 5000));
    for (const RecordedEvent& e : events_.Events()) {
        if (e.code == 514) {
            EXPECT_EQ(e.lParam, reinterpret_cast<plat::LParam>(busy));
        }
    }
    cpLockGuard guard(Manager()->Lock());
    EXPECT_NE(std::find(direct_->checked.begin(), direct_->checked.end(), quiet),
              direct_->checked.end());
}

TEST_F(JobDownloaderTest, ForwardersIgnoreJobsTheDownloaderDoesNotHold) {
    CJob* job = nullptr;
    ASSERT_EQ(Manager()->CreateJob(&job, "k"), 512);
    JobProgress progress;
    progress.held = 5;
    UnderLock([&] {
        direct_->NotifyJobProgress(job, progress);
        direct_->NotifyJobMessage(job, 517, "x");
        direct_->NotifyJobStart(job, 1, 2);
    });
    EXPECT_EQ(job->Progress().held, 0);
    EXPECT_EQ(job->QueuedMessages(), 0u);
    EXPECT_TRUE(events_.Events().empty());
}

TEST_F(JobDownloaderTest, NetworkDownGoesOfflineAndTellsEveryHeldJob) {
    CJob* a = StartedJob();
    CJob* b = StartedJob();
    UnderLock([&] { direct_->NotifyNetworkDown(); });
    ASSERT_TRUE(events_.WaitFor(517, 2));
    std::int32_t code = 0;
    ASSERT_EQ(Manager()->PopJobMessage(a, &code, nullptr, 0), 512);
    EXPECT_EQ(code, 515);
    ASSERT_EQ(Manager()->PopJobMessage(b, &code, nullptr, 0), 512);
    EXPECT_EQ(code, 515);
    cpLockGuard guard(Manager()->Lock());
    EXPECT_TRUE(direct_->Offline());
    EXPECT_EQ(direct_->DetachJob(a), kResultOk);
    EXPECT_EQ(direct_->AttachJob(a), kResultOk);  // attaching clears the offline mark
    EXPECT_FALSE(direct_->Offline());
}

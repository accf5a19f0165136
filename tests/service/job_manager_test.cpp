// The job entry points and the job notifications, against a running service.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/files.h"
#include "service/base/job.h"
#include "tests/support/service_fixture.h"

namespace {

class JobManagerTest : public ServiceTest {
protected:
    CJob* NewJob() {
        CJob* job = nullptr;
        EXPECT_EQ(Manager()->CreateJob(&job, "joltwave_zorakine4"), 512);
        return job;
    }
    CJob* JobWithFile() {
        CJob* job = NewJob();
        EXPECT_EQ(
            Manager()->AddJobFile(job, "http://files.example/zk4/ZK4Setup.exe", Folder().c_str()),
            512);
        return job;
    }
    std::string Folder() const { return downloads_.Path() + "game"; }
};

CJob* const kNeverCreated = reinterpret_cast<CJob*>(0x1234);

}  // namespace

TEST_F(JobManagerTest, EveryJobOperationRefusesAJobThatIsNotListed) {
    CJobManager* m = Manager();
    JobStartInfo start;
    JobProgress progress;
    JobFileEvent fileEvent;
    JobCompletion completion;
    std::uint32_t length = 7;
    std::int32_t code = 0;
    EXPECT_EQ(m->SetJobEngineFlag(kNeverCreated), 517);
    EXPECT_EQ(m->AddJobFile(kNeverCreated, "http://a/b", Folder().c_str()), 517);
    EXPECT_EQ(m->StartJob(kNeverCreated, 1), 517);
    EXPECT_EQ(m->StopJob(kNeverCreated), 517);
    EXPECT_EQ(m->RemoveJob(kNeverCreated), 517);
    EXPECT_EQ(m->AnswerResume(kNeverCreated, 1, 0), 517);
    EXPECT_EQ(m->GetJobStartInfo(kNeverCreated, &start), 517);
    EXPECT_EQ(m->GetJobStatus(kNeverCreated, &progress), 517);
    EXPECT_EQ(m->GetJobProgress(kNeverCreated, &progress), 517);
    EXPECT_EQ(m->PopJobFileEvent(kNeverCreated, &fileEvent), 517);
    EXPECT_EQ(m->GetJobCompletion(kNeverCreated, &completion), 517);
    EXPECT_EQ(m->PeekJobMessageLength(kNeverCreated, &length), 517);
    EXPECT_EQ(m->PopJobMessage(kNeverCreated, &code, nullptr, 0), 517);
    EXPECT_EQ(length, 7u);

    CJob* removed = JobWithFile();
    ASSERT_EQ(m->RemoveJob(removed), 512);
    EXPECT_EQ(m->StartJob(removed, 1), 517);
    EXPECT_EQ(m->GetJobProgress(removed, &progress), 517);
}

TEST_F(JobManagerTest, CreateJobRefusesAVariableThatAlreadyNamesAListedJob) {
    CJob* job = NewJob();
    CJob* same = job;
    EXPECT_EQ(Manager()->CreateJob(&same, "key"), 517);
    EXPECT_EQ(same, job);
    CJob* other = nullptr;
    EXPECT_EQ(Manager()->CreateJob(&other, "key"), 512);
    EXPECT_NE(other, job);
    EXPECT_EQ(other->Id(), job->Id() + 1);
}

TEST_F(JobManagerTest, ServiceKeyIsCutAtThirtyTwoCharacters) {
    CJob* job = nullptr;
    ASSERT_EQ(Manager()->CreateJob(&job, "0123456789012345678901234567890123456789"), 512);
    EXPECT_EQ(job->ServiceKey(), "01234567890123456789012345678901");
}

TEST_F(JobManagerTest, AddJobFileNormalisesTheFolderAndTakesTheLastUrlSegment) {
    CJob* job = NewJob();
    std::string messy = downloads_.Path() + "a\\b/c";
    ASSERT_EQ(
        Manager()->AddJobFile(job, "  http://files.example/zk4/data1.pak \r\n", messy.c_str()),
        512);
    ASSERT_EQ(job->FileCount(), 1u);
    const JobFileEntry& file = *job->Files()[0];
    EXPECT_EQ(file.folder, downloads_.Path() + "a/b/c/");
    EXPECT_EQ(file.url, "http://files.example/zk4/data1.pak");
    EXPECT_EQ(file.localName, "data1.pak");
    EXPECT_EQ(file.index, 0);
    EXPECT_EQ(file.remoteSize, -1);
    EXPECT_EQ(file.serviceKey, "joltwave_zorakine4");
    EXPECT_EQ(job->DownloadFolder(), downloads_.Path() + "a/b/c/");
    EXPECT_TRUE(plat::IsFolder(downloads_.Path() + "a/b/c"));
}

TEST_F(JobManagerTest, LocalNameIsTheDecodedLastSegmentAndUnusableNamesAreRefused) {
    CJob* job = NewJob();
    ASSERT_EQ(Manager()->AddJobFile(job, "http://cdn.example/g/f%20b.bin?sig=abc&exp=99#part",
                                    Folder().c_str()),
              512);
    EXPECT_EQ(job->Files()[0]->localName, "f b.bin");
    // Nothing would be fetched, or it would be written somewhere else.
    for (const char* url : {"noslash", "http://h.example/dir/", "http://h.example/%2e%2e",
                            "http://h.example/a%2Fb", "http://h.example/%00x", "http://h.example/x%1B[2J"})
        EXPECT_EQ(Manager()->AddJobFile(job, url, Folder().c_str()), 513) << url;
    EXPECT_EQ(job->FileCount(), 1u);
}

TEST_F(JobManagerTest, SameFolderAndNameDifferingOnlyInCaseIsADuplicate) {
    CJob* job = NewJob();
    ASSERT_EQ(Manager()->AddJobFile(job, "http://a.example/x/Data.PAK", Folder().c_str()), 512);
    EXPECT_EQ(Manager()->AddJobFile(job, "http://b.example/y/data.pak", (Folder() + "/").c_str()),
              517);
    EXPECT_EQ(job->FileCount(), 1u);
    EXPECT_EQ(Manager()->AddJobFile(job, "http://b.example/y/data2.pak", Folder().c_str()), 512);
    EXPECT_EQ(job->Files()[1]->index, 1);
}

TEST_F(JobManagerTest, AddJobFileAnswersBadUrlBadFolderAndBusyJob) {
    CJob* job = NewJob();
    EXPECT_EQ(Manager()->AddJobFile(job, "", Folder().c_str()), 513);
    EXPECT_EQ(Manager()->AddJobFile(job, nullptr, Folder().c_str()), 513);
    EXPECT_EQ(Manager()->AddJobFile(job, "http://a/b", ""), 514);
    EXPECT_TRUE(events_.WaitFor(528));

    TestDownloader* direct = InstallDirectDownloader();
    ASSERT_EQ(Manager()->AddJobFile(job, "http://a/b", Folder().c_str()), 512);
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    EXPECT_EQ(Manager()->AddJobFile(job, "http://a/c", Folder().c_str()), 517);
    EXPECT_EQ(direct->begun.size(), 1u);
}

TEST_F(JobManagerTest, FolderThatCannotBeCreatedReportsPathFailure) {
    // A file where a folder must go makes the creation fail, whoever runs the test.
    std::string blocker = downloads_.Path() + "blocker";
    ASSERT_TRUE(plat::AppendToFile(blocker, "x"));
    CJob* job = NewJob();
    EXPECT_EQ(Manager()->AddJobFile(job, "http://a/b", (blocker + "/sub/dir").c_str()), 514);
    ASSERT_TRUE(events_.WaitFor(528));
    EXPECT_EQ(events_.Events().back().lParam, reinterpret_cast<plat::LParam>(Manager()));
    auto lines = ServiceLogMessages();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[OstrelLib] download path access failed"),
              lines.end());
    EXPECT_EQ(job->FileCount(), 0u);
}

TEST_F(JobManagerTest, StartJobNeedsFilesAndADownloader) {
    CJob* empty = NewJob();
    InstallDirectDownloader();
    EXPECT_EQ(Manager()->StartJob(empty, 1), 517);
    Manager()->SetDirectDownloader(nullptr);
    CJob* job = JobWithFile();
    EXPECT_EQ(Manager()->StartJob(job, 1), 517);
}

TEST_F(JobManagerTest, StartStopAndRemoveGoThroughTheHoldingDownloader) {
    TestDownloader* direct = InstallDirectDownloader();
    CJob* job = JobWithFile();
    ASSERT_EQ(Manager()->StartJob(job, 0), 512);
    EXPECT_EQ(job->SpeedFlag(), 0);
    EXPECT_EQ(job->State(), kJobRunning);
    EXPECT_EQ(Manager()->StartJob(job, 1), 515);
    EXPECT_EQ(direct->begun.size(), 1u);

    EXPECT_EQ(Manager()->StopJob(job), 512);
    EXPECT_EQ(job->State(), kJobIdle);
    EXPECT_EQ(direct->ended.size(), 1u);
    EXPECT_EQ(Manager()->StopJob(job), 517);  // nobody holds it now

    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    EXPECT_EQ(Manager()->RemoveJob(job), 512);
    EXPECT_EQ(direct->ended.size(), 2u);
    EXPECT_FALSE(direct->Holds(job));
    EXPECT_EQ(Manager()->JobCount(), 0u);
}

TEST_F(JobManagerTest, EngineDownloaderTakesJobsWhileItExistsAndFailsOverToDirect) {
    TestDownloader* direct = InstallDirectDownloader();
    auto engineOwned = std::make_unique<TestDownloader>(Manager());
    TestDownloader* engine = engineOwned.get();
    Manager()->SetEngineDownloader(std::move(engineOwned));
    CJob* job = JobWithFile();
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    EXPECT_EQ(engine->begun.size(), 1u);
    EXPECT_TRUE(direct->begun.empty());
    EXPECT_EQ(Manager()->AnswerResume(job, 1, 0), 512);
    EXPECT_EQ(engine->answers.size(), 1u);

    UnderLock([&] { Manager()->OnEngineFailed(); });  // as the engine downloader reports it
    EXPECT_EQ(Manager()->EngineDownloader(), nullptr);
    EXPECT_EQ(direct->begun.size(), 1u);
    EXPECT_TRUE(direct->Holds(job));
    EXPECT_EQ(Manager()->StopJob(job), 512);
}

TEST_F(JobManagerTest, AnswerResumeNeedsTheJobHeld) {
    InstallDirectDownloader();
    CJob* job = JobWithFile();
    EXPECT_EQ(Manager()->AnswerResume(job, 1, 1), 516);
}

TEST_F(JobManagerTest, StartNoticeOnlyBeforeTheFirstByteAndCompletionPostsProgressThenEnd) {
    TestDownloader* direct = InstallDirectDownloader();
    CJob* job = JobWithFile();
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    events_.Clear();
    UnderLock([&] { direct->NotifyJobStart(job, 1, 5000); });
    ASSERT_TRUE(events_.WaitFor(513));
    JobStartInfo start;
    ASSERT_EQ(Manager()->GetJobStartInfo(job, &start), 512);
    EXPECT_EQ(start.fileCount, 1);
    EXPECT_EQ(start.totalSize, 5000);

    JobProgress progress;
    progress.total = 5000;
    progress.held = 10;
    progress.fileCount = 1;
    UnderLock([&] {
        direct->NotifyJobProgress(job, progress);
        direct->NotifyJobStart(job, 1, 5000);  // something was received: no notice
        job->NotifyCompleted(1);
    });
    ASSERT_TRUE(events_.WaitFor(516));
    EXPECT_EQ(events_.CountOf(513), 1);
    std::vector<int> codes = events_.Codes();
    auto at514 = std::find(codes.begin(), codes.end(), 514);
    auto at516 = std::find(codes.begin(), codes.end(), 516);
    ASSERT_NE(at514, codes.end());
    EXPECT_LT(at514, at516);
    JobCompletion completion;
    ASSERT_EQ(Manager()->GetJobCompletion(job, &completion), 512);
    EXPECT_EQ(completion.fileCount, 1);
    EXPECT_EQ(completion.completedFiles, 1);
    EXPECT_EQ(job->State(), kJobCompleted);
}

TEST_F(JobManagerTest, FileEventsQueueInOrderWithUrlAndPath) {
    TestDownloader* direct = InstallDirectDownloader();
    CJob* job = NewJob();
    ASSERT_EQ(Manager()->AddJobFile(job, "http://a.example/one.pak", Folder().c_str()), 512);
    ASSERT_EQ(Manager()->AddJobFile(job, "http://a.example/Two.pak", Folder().c_str()), 512);
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    std::string folder = Folder() + "/";
    UnderLock([&] {
        direct->NotifyJobFileCompleted(job, folder + "ONE.pak", nullptr,
                                       "http://a.example/one.pak");
        direct->NotifyJobFileCompleted(job, folder + "one.pak", nullptr,
                                       "http://a.example/one.pak");  // done
        direct->NotifyJobFileCompleted(job, folder + "missing.pak", nullptr, "http://x/");
        direct->NotifyJobFileCompleted(job, folder + "Two.pak", "alt text",
                                       "http://a.example/Two.pak");
    });
    ASSERT_TRUE(events_.WaitFor(515, 2));
    JobFileEvent first, second, none;
    ASSERT_EQ(Manager()->PopJobFileEvent(job, &first), 512);
    ASSERT_EQ(Manager()->PopJobFileEvent(job, &second), 512);
    EXPECT_EQ(first.eventId, 1);
    EXPECT_EQ(first.text, "http://a.example/one.pak," + folder + "ONE.pak");
    EXPECT_EQ(second.eventId, 2);
    EXPECT_EQ(second.text, "http://a.example/Two.pak,alt text");
    none.eventId = -1;
    EXPECT_EQ(Manager()->PopJobFileEvent(job, &none), 512);
    EXPECT_EQ(none.eventId, -1);
    EXPECT_EQ(events_.CountOf(515), 2);
}

TEST_F(JobManagerTest, MessagesQueueInOrderAndAnEmptyQueueAnswersCode512) {
    CJob* job = NewJob();
    UnderLock([&] {
        job->AddMessage(515, nullptr);
        job->AddMessage(517, "TryMax Over");
    });
    std::uint32_t length = 99;
    ASSERT_EQ(Manager()->PeekJobMessageLength(job, &length), 512);
    EXPECT_EQ(length, 0u);  // the oldest message has no text
    std::int32_t code = 0;
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(Manager()->PopJobMessage(job, &code, buffer, sizeof buffer), 512);
    EXPECT_EQ(code, 515);
    EXPECT_EQ(buffer[0], '#');
    ASSERT_EQ(Manager()->PeekJobMessageLength(job, &length), 512);
    EXPECT_EQ(length, 12u);
    ASSERT_EQ(Manager()->PopJobMessage(job, &code, buffer, 5),
              512);  // a short buffer is never overrun
    EXPECT_EQ(code, 517);
    EXPECT_STREQ(buffer, "TryM");
    ASSERT_EQ(Manager()->PopJobMessage(job, &code, buffer, sizeof buffer), 512);
    EXPECT_EQ(code, 512);
    EXPECT_TRUE(events_.WaitFor(517, 2));
}

TEST_F(JobManagerTest, GetJobStatusKeepsTheCallersCurrentIndex) {
    CJob* job = NewJob();
    JobProgress progress;
    progress.total = 42;
    progress.currentIndex = 3;
    std::strcpy(progress.currentName, "data1.pak");
    UnderLock([&] { job->SetProgress(progress); });
    JobProgress out;
    out.currentIndex = 77;
    ASSERT_EQ(Manager()->GetJobStatus(job, &out), 512);
    EXPECT_EQ(out.currentIndex, 77);
    EXPECT_EQ(out.total, 42);
    EXPECT_STREQ(out.currentName, "data1.pak");
    ASSERT_EQ(Manager()->GetJobProgress(job, &out), 512);
    EXPECT_EQ(out.currentIndex, 3);
}

TEST_F(JobManagerTest, ListenerFacesPostTheirEvents) {
    UnderLock([&] {
        Manager()->OnEngineUpdateInfo("http://u/e.7z", 1LL << 40);
        Manager()->OnEngineUpdateProgress("http://u/e.7z", 1LL << 40);
        Manager()->OnEngineReady(true);
        Manager()->OnEngineUnavailable();
        Manager()->OnDocumentComplete();
        Manager()->OnDocumentFailed(4);
        Manager()->OnLengthsKnown();
        Manager()->OnLengthCheckFailed();
        Manager()->OnPathAccessFailed(1);
        Manager()->OnPathAccessFailed(3);
        Manager()->OnDocumentTick();
    });
    ASSERT_TRUE(events_.WaitFor(529));
    std::vector<int> expected = {518, 519, 520, 521, 522, 523, 525, 526, 527, 529};
    EXPECT_EQ(events_.Codes(), expected);
}

// The entry points run on the caller's thread under the service lock while
// the worker thread runs the downloaders' ticks; both at once must be safe.
TEST_F(JobManagerTest, EntryPointsAndWorkerTicksRunConcurrently) {
    TestDownloader* direct = InstallDirectDownloader();
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        while (!stop) {
            CJob* job = nullptr;
            if (Manager()->CreateJob(&job, "k") != 512) continue;
            // Only the lock discipline is under test here, not the results.
            (void)Manager()->AddJobFile(job, "http://a.example/f.pak", Folder().c_str());
            (void)Manager()->StartJob(job, 1);
            JobProgress progress;
            (void)Manager()->GetJobProgress(job, &progress);
            (void)Manager()->StopJob(job);
            (void)Manager()->StartJob(job, 1);
            (void)Manager()->RemoveJob(job);
        }
    });
    CJob* steady = JobWithFile();
    ASSERT_EQ(Manager()->StartJob(steady, 1), 512);
    JobProgress progress;
    progress.held = 1;
    UnderLock([&] { direct->NotifyJobProgress(steady, progress); });
    // Two ticks of the worker while the caller keeps going.
    EXPECT_TRUE(events_.WaitFor(514, 2, 5000));
    stop = true;
    caller.join();
    cpLockGuard guard(Manager()->Lock());
    EXPECT_GE(direct->checked.size(), 2u);
}

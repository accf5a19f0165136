// Start-up, shut-down and the document / remaining-bytes entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "engine/start_only_launcher.h"
#include "platform/kernel.h"
#include "platform/resolver.h"
#include "service/base/service_log.h"
#include "service/download_service.h"
#include "tests/support/data_home.h"
#include "tests/support/service_fixture.h"

namespace {

// Service start-up tests control the start themselves.
class StartupTest : public testing::Test {
protected:
    // The start and stop alone: no engine link (its launch runs on a timer
    // and would add lines depending on the timing).
    void SetUp() override {
        CJobManager::SetDefaultLauncherFactoryForTesting({});
        ResetServiceLog();
    }
    void TearDown() override {
        CJobManager::SetDefaultLauncherFactoryForTesting(CStartOnlyLauncher::Factory());
        SetWorkerStartHookForTesting(nullptr);
        SetServiceTimeoutsForTesting(3000, 3000);
        FinalizeService();
    }
    static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    ScopedDataHome appData_;
    EventRecorder events_;
};

class FakeDocument : public IDocumentSource {
public:
    explicit FakeDocument(std::string text) : text_(std::move(text)) {}
    const char* DocumentData() const override { return text_.data(); }
    std::int64_t DocumentLength() const override { return static_cast<std::int64_t>(text_.size()); }
    void Fetch(const char* url) override { fetched = url; }
    std::string FailureText() const override { return {}; }
    std::string fetched;

private:
    std::string text_;
};

class FakeChecker : public IContentLengthTotal {
public:
    std::int64_t TotalBytes() const override { return 123456789; }
};

}  // namespace

TEST_F(StartupTest, StartAndStopWriteTheirLogLinesInOrder) {
    ASSERT_EQ(InitializeService(events_.Window()), 512);
    ASSERT_NE(GetServiceJobManager(), nullptr);
    FinalizeService();
    EXPECT_EQ(GetServiceJobManager(), nullptr);
    std::vector<std::string> expected = {
        "[OstrelLib] Launch(3.4.0.10)",   "[OstrelLib] Initialize",
        "[OstrelLib] Finalize Begin",     "[OstrelLib] Exit GetMessage Loop",
        "[OstrelLib] Destroy JobManager", "[OstrelLib] CPlatFormDownloader Destroy",
        "[OstrelLib] Finalize End"};
    EXPECT_EQ(ServiceLogMessages(), expected);
}

TEST_F(StartupTest, SecondInitializeAnswers518AndStartsNothing) {
    ASSERT_EQ(InitializeService(events_.Window()), 512);
    CJobManager* first = GetServiceJobManager();
    int exitsBefore = ServiceWorkerExitsForTesting();
    EXPECT_EQ(InitializeService(events_.Window()), 518);
    EXPECT_EQ(GetServiceJobManager(), first);
    FinalizeService();
    EXPECT_EQ(ServiceWorkerExitsForTesting(), exitsBefore + 1);
}

TEST_F(StartupTest, FinalizeWithoutInitializeOnlyLogs) {
    FinalizeService();
    std::vector<std::string> expected = {"[OstrelLib] Finalize Begin", "[OstrelLib] Finalize End"};
    EXPECT_EQ(ServiceLogMessages(), expected);
}

TEST_F(StartupTest, WorkerThatCannotStartGives517AndFinalizeStillCompletes) {
    plat::Thread::SetStartFailsForTesting(1);
    EXPECT_EQ(InitializeService(events_.Window()), 517);
    EXPECT_EQ(GetServiceJobManager(), nullptr);
    EXPECT_EQ(InitializeService(events_.Window()), 518);  // the failed service stays registered
    FinalizeService();
    EXPECT_TRUE(Contains(ServiceLogMessages(), "[OstrelLib] Initialize Failed : 517"));
    EXPECT_TRUE(Contains(ServiceLogMessages(), "[OstrelLib] Finalize End"));
    EXPECT_EQ(InitializeService(events_.Window()), 512);
}

TEST_F(StartupTest, WorkerThatMissesTheStartupTimeGives517AndStopsCleanly) {
    SetServiceTimeoutsForTesting(50, 3000);
    SetWorkerStartHookForTesting([] { plat::SleepMs(300); });
    EXPECT_EQ(InitializeService(events_.Window()), 517);
    FinalizeService();  // the worker finishes its start, sees the quit and ends
    std::vector<std::string> lines = ServiceLogMessages();
    EXPECT_TRUE(Contains(lines, "[OstrelLib] Initialize Failed : 517"));
    EXPECT_TRUE(Contains(lines, "[OstrelLib] Exit GetMessage Loop"));
    EXPECT_FALSE(Contains(lines, "[OstrelLib] Force TerminateThread"));
}

TEST_F(StartupTest, WorkerThatDoesNotEndIsAbandonedAndCleansUpAfterItself) {
    std::atomic<bool> release{false};
    SetServiceTimeoutsForTesting(50, 50);
    SetWorkerStartHookForTesting([&] {
        while (!release) plat::SleepMs(5);
    });
    int exitsBefore = ServiceWorkerExitsForTesting();
    EXPECT_EQ(InitializeService(events_.Window()), 517);
    FinalizeService();
    EXPECT_TRUE(Contains(ServiceLogMessages(), "[OstrelLib] Force TerminateThread"));
    EXPECT_TRUE(Contains(ServiceLogMessages(), "[OstrelLib] Finalize End"));
    release = true;
    EXPECT_TRUE(WaitFor([&] { return ServiceWorkerExitsForTesting() == exitsBefore + 1; }));
}

TEST_F(StartupTest, StartWithoutASocketWindowFails) {
    plat::SetWindowCreationFailsForTesting(1);
    EXPECT_EQ(InitializeService(events_.Window()), 517);
    EXPECT_EQ(GetServiceJobManager(), nullptr);
    FinalizeService();
    EXPECT_TRUE(Contains(ServiceLogMessages(), "[OstrelLib] Initialize Failed : 517"));
}

TEST_F(StartupTest, DocumentAndRemainingBytesNeedARunningService) {
    std::int64_t size = -5;
    EXPECT_EQ(GetDocumentSize(&size), 517);
    DocumentRecord record;
    EXPECT_EQ(GetDocument(&record), 517);
    EXPECT_EQ(GetRemainingBytes(nullptr, &size), 517);
    EXPECT_EQ(size, -5);
}

using DocumentEntryTest = ServiceTest;

TEST_F(DocumentEntryTest, NoDocumentSessionAnswers517) {
    std::int64_t size = -5;
    EXPECT_EQ(GetDocumentSize(&size), 517);
    EXPECT_EQ(size, -5);
}

TEST_F(DocumentEntryTest, LoadDocumentFromAHostWithoutAddressReportsFailure) {
    plat::SetResolverForTesting([](const std::string&) { return std::vector<std::uint32_t>{}; });
    EXPECT_EQ(Manager()->LoadDocument("http://patch.example/filelist.txt"), 512);
    plat::SetResolverForTesting(nullptr);
    EXPECT_TRUE(events_.WaitFor(523));
    std::int64_t size = -5;
    EXPECT_EQ(GetDocumentSize(&size), 512);  // the session exists, without a document
    EXPECT_EQ(size, -5);
}

TEST_F(DocumentEntryTest, DocumentIsCopiedOnlyIntoARecordOfExactlyItsLength) {
    auto document = std::make_unique<FakeDocument>("http://a/1\nhttp://a/2\n");
    FakeDocument* raw = document.get();
    Manager()->SetDocumentSource(std::move(document));
    EXPECT_EQ(Manager()->LoadDocument("http://patch.example/filelist.txt"), 512);
    EXPECT_EQ(raw->fetched, "http://patch.example/filelist.txt");

    std::int64_t size = 0;
    ASSERT_EQ(GetDocumentSize(&size), 512);
    EXPECT_EQ(size, 22);
    std::string buffer(40, '#');
    DocumentRecord record{buffer.data(), 0, size + 1};
    EXPECT_EQ(GetDocument(&record), 517);
    EXPECT_EQ(buffer, std::string(40, '#'));
    record.length = size - 1;
    EXPECT_EQ(GetDocument(&record), 517);
    record.length = size;
    record.data = nullptr;
    EXPECT_EQ(GetDocument(&record), 517);
    record.data = buffer.data();
    EXPECT_EQ(GetDocument(&record), 512);
    EXPECT_EQ(buffer.substr(0, 22), "http://a/1\nhttp://a/2\n");
    EXPECT_EQ(buffer[22], '#');
}

TEST_F(DocumentEntryTest, RemainingBytesComeFromProgressOrElseFromTheCheckedTotal) {
    CJob* job = nullptr;
    ASSERT_EQ(Manager()->CreateJob(&job, "joltwave_zorakine4"), 512);
    std::int64_t remaining = 0;
    EXPECT_EQ(GetRemainingBytes(job, &remaining), 517);  // no total and no checker yet
    Manager()->SetContentLengthChecker(std::make_unique<FakeChecker>());
    EXPECT_EQ(GetRemainingBytes(job, &remaining), 512);
    EXPECT_EQ(remaining, 123456789);

    JobProgress progress;
    progress.total = 1000;
    progress.held = 250;
    UnderLock([&] { job->SetProgress(progress); });
    EXPECT_EQ(GetRemainingBytes(job, &remaining), 512);
    EXPECT_EQ(remaining, 750);
    EXPECT_EQ(GetRemainingBytes(reinterpret_cast<CJob*>(&remaining), &remaining), 517);
}

#include "tests/support/service_fixture.h"

#include <chrono>
#include <cstdlib>

#include "platform/files.h"
#include "service/base/job.h"
#include "service/base/service_log.h"
#include "engine/start_only_launcher.h"
#include "service/download_service.h"

EventRecorder::EventRecorder() {
    window_ = plat::CreateForwardingWindow([this](const plat::Msg& msg) {
        if (msg.message != kServiceEventMessage) return;
        std::lock_guard lock(mutex_);
        events_.push_back({static_cast<int>(msg.wParam), msg.lParam});
        cv_.notify_all();
    });
}

EventRecorder::~EventRecorder() {
    plat::DestroyWindow(window_);
}

std::vector<RecordedEvent> EventRecorder::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<int> EventRecorder::Codes() const {
    std::vector<int> codes;
    for (const RecordedEvent& e : Events()) codes.push_back(e.code);
    return codes;
}

int EventRecorder::CountOf(int code) const {
    int n = 0;
    for (const RecordedEvent& e : Events()) n += e.code == code;
    return n;
}

bool EventRecorder::WaitFor(int code, int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int n = 0;
        for (const RecordedEvent& e : events_) n += e.code == code;
        return n >= count;
    });
}

void EventRecorder::Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

std::vector<std::string> ServiceLogMessages() {
    std::string text;
    plat::ReadWholeFile(GetServiceLogPath(), &text);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        std::size_t stamp = line.find("] ");
        lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
        start = end + 2;
    }
    return lines;
}

ServiceResult TestDownloader::Begin(CJob* job) {
    begun.push_back(job);
    return beginResult;
}

void TestDownloader::End(CJob* job) {
    ended.push_back(job);
}

void TestDownloader::CheckJob(CJob* job) {
    checked.push_back(job);
}

ServiceResult TestDownloader::OnResumeAnswer(CJob*, std::int32_t first, std::int32_t second) {
    answers.emplace_back(first, second);
    return kResultOk;
}

void ServiceTest::SetUp() {
    // The direct path unless a test brings an engine of its own.
    CJobManager::SetDefaultLauncherFactoryForTesting(LauncherFactory());
    ResetServiceLog();
    ASSERT_EQ(InitializeService(events_.Window()), 512);
    ASSERT_NE(Manager(), nullptr);
}

void ServiceTest::TearDown() {
    FinalizeService();
    CJobManager::SetDefaultLauncherFactoryForTesting(CStartOnlyLauncher::Factory());
}

TestDownloader* ServiceTest::InstallDirectDownloader() {
    auto downloader = std::make_unique<TestDownloader>(Manager());
    TestDownloader* raw = downloader.get();
    Manager()->SetDirectDownloader(std::move(downloader));
    return raw;
}

// Fixtures for tests that run the service: a notification window that
// records the posted events, a running service with its own data folder,
// and a job downloader that only records what it is asked to do.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window.h"
#include "engine/engine_launcher.h"
#include "service/download_service.h"
#include "service/job_manager.h"
#include "tests/support/data_home.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"
#include "transfers/job_downloader.h"
#include "transport/cp_mutex.h"

struct RecordedEvent {
    int code;
    plat::LParam lParam;
};

// A notification window whose events are collected from any thread.
class EventRecorder {
public:
    EventRecorder();
    ~EventRecorder();
    plat::Hwnd Window() const { return window_; }
    std::vector<RecordedEvent> Events() const;
    std::vector<int> Codes() const;
    int CountOf(int code) const;
    // Waits until `count` events of `code` arrived (at most timeoutMs).
    bool WaitFor(int code, int count = 1, int timeoutMs = 5000) const;
    void Clear();

private:
    plat::Hwnd window_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<RecordedEvent> events_;
};

// The lines of the service log without their time stamps.
std::vector<std::string> ServiceLogMessages();

// A job downloader that records the strategy calls.
class TestDownloader : public CJobDownloader {
public:
    explicit TestDownloader(CJobManager* manager)
        : CJobDownloader(manager, manager ? manager->Lock() : nullptr) {}
    ServiceResult Begin(CJob* job) override;
    void End(CJob* job) override;
    void CheckJob(CJob* job) override;
    ServiceResult OnResumeAnswer(CJob* job, std::int32_t first, std::int32_t second) override;

    ServiceResult beginResult = kResultOk;
    std::vector<CJob*> begun, ended, checked;
    std::vector<std::pair<std::int32_t, std::int32_t>> answers;
    // Lets tests reach the protected frame operations.
    using CJobDownloader::ReleaseJob;
    using CJobDownloader::StopTickIfIdle;
};

// A running service with its own application-data folder.
class ServiceTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The launch behind the service's engine downloader; none (the direct
    // path alone) unless a fixture brings one.
    virtual EngineLauncherFactory LauncherFactory() const { return {}; }

    CJobManager* Manager() const { return GetServiceJobManager(); }
    // Installs a TestDownloader as the direct downloader and returns it.
    TestDownloader* InstallDirectDownloader();
    // Runs `fn` with the service lock held, as the worker's callbacks run.
    template <class Fn>
    void UnderLock(Fn fn) {
        cpLockGuard guard(Manager()->Lock());
        fn();
    }

    ScopedDataHome appData_;  // first: it outlives the service
    TempFolder downloads_;
    EventRecorder events_;
};

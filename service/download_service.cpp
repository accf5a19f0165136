#include "service/download_service.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "Lib_SSL/COpenSSL.h"
#include "platform/kernel.h"
#include "platform/sockets.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "service/class_factory.h"
#include "service/job_manager.h"
#include "transport/cp_mutex.h"

namespace {

std::atomic<int> g_startupTimeoutMs{3000};
std::atomic<int> g_reportDrainMs{3000};
std::atomic<int> g_stopTimeoutMs{3000};
std::mutex g_hookMutex;
std::function<void()> g_workerStartHook;

// The worker's message loop stops dispatching once this reads 0.
std::atomic<int> g_running{0};

// What the worker thread and the service object share. It is kept alive by
// both, so a worker that wakes up late never touches a freed service object.
struct WorkerShared {
    plat::AutoResetEvent startup;
    std::atomic<CJobManager*> jobManager{nullptr};
    // Who cleans up: the service object after the worker ended, or the
    // worker itself when the service gave up waiting for it.
    std::mutex endMutex;
    bool workerDone = false;
    bool abandoned = false;
};

std::atomic<int> g_workerExits{0};

}  // namespace

// The process-wide service object.
class CDownloadLibThread {
public:
    CDownloadLibThread() : shared_(std::make_shared<WorkerShared>()) {}
    ~CDownloadLibThread();

    bool StartWorker();
    bool WaitForStartup(int timeoutMs) { return shared_->startup.Wait(timeoutMs); }
    CJobManager* JobManager() const { return shared_->jobManager.load(); }

private:
    static std::uint32_t WorkerMain(const std::shared_ptr<WorkerShared>& shared);

    std::shared_ptr<WorkerShared> shared_;
    plat::Thread worker_;
};

namespace {
std::atomic<CDownloadLibThread*> g_service{nullptr};
}

bool CDownloadLibThread::StartWorker() {
    auto shared = shared_;
    return worker_.Start([shared] { return WorkerMain(shared); });
}

std::uint32_t CDownloadLibThread::WorkerMain(const std::shared_ptr<WorkerShared>& shared) {
    std::function<void()> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_workerStartHook;
    }
    if (hook) hook();
    {
        std::lock_guard end(shared->endMutex);
        if (shared->abandoned) {
            shared->workerDone = true;
            ++g_workerExits;
            return 0;
        }
    }

    // TLS first, before any connection can exist; the worker ends it too,
    // below. A failure leaves plain HTTP working; every https:// connection
    // then fails to start.
    if (!COpenSSL::GlobalStartup()) WriteServiceLog("[OstrelLib] TLS library start-up failed");

    vzSmartPtr lockHolder;
    if (!lockHolder.CreateInstance(kClassMutex)) {
        // Without the service lock nothing can run: the start fails (517).
        shared->startup.Set();
        std::lock_guard end(shared->endMutex);
        shared->workerDone = true;
        ++g_workerExits;
        return 0;
    }
    auto* lock = lockHolder.As<cpCMutex>();
    (void)lock->Lock();  // the recursive lock cannot fail
    auto* manager = new CJobManager(lockHolder);
    if (!manager->NetworkStarted()) {
        // Without its socket window or thread timer the service would never
        // hear a socket or a timer: report the start as failed.
        delete manager;
        manager = nullptr;
    }
    shared->jobManager = manager;
    shared->startup.Set();
    (void)lock->Unlock();  // the recursive lock cannot fail

    if (manager) {
        plat::Msg msg;
        int fetched = plat::GetMessage(&msg);
        while (fetched > 0 && g_running.load() != 0) {
            plat::TranslateMessage(msg);
            plat::DispatchMessage(msg);
            fetched = plat::GetMessage(&msg);
        }
    }
    WriteServiceLog("[OstrelLib] Exit GetMessage Loop");

    (void)lock->Lock();  // the recursive lock cannot fail
    if (manager) plat::WSACleanup();
    // Connections still waiting for their deferred release keep the TLS BIO
    // method until the job manager is deleted.
    COpenSSL::GlobalCleanup();
    (void)lock->Unlock();  // the recursive lock cannot fail

    std::lock_guard end(shared->endMutex);
    if (shared->abandoned) delete shared->jobManager.exchange(nullptr);
    shared->workerDone = true;
    ++g_workerExits;
    return 0;
}

CDownloadLibThread::~CDownloadLibThread() {
    g_running = 0;
    if (worker_.Started()) {
        plat::PostThreadMessage(worker_.Id(), plat::kWmQuit, 0, 0);
        if (!worker_.WaitForExit(g_stopTimeoutMs.load())) {
            WriteServiceLog("[OstrelLib] Force TerminateThread");
            std::lock_guard end(shared_->endMutex);
            if (!shared_->workerDone) {
                // A thread that cannot be stopped may still be using the
                // job manager: it is left to delete it when it ends, rather
                // than have it pulled from under it.
                shared_->abandoned = true;
                worker_.Abandon();
                WriteServiceLog("[OstrelLib] Destroy JobManager");
                return;
            }
        }
    }
    WriteServiceLog("[OstrelLib] Destroy JobManager");
    delete shared_->jobManager.exchange(nullptr);
}

ServiceResult InitializeService(plat::Hwnd notifyWindow) {
    if (g_service.load()) return kResultAlreadyInitialized;
    InstallServiceClassFactory();
    auto* service = new CDownloadLibThread;
    g_service = service;
    g_running = 0;
    g_running = 1;

    ServiceResult result = kResultFailed;
    if (service->StartWorker() && service->WaitForStartup(g_startupTimeoutMs.load())) {
        if (CJobManager* manager = service->JobManager()) result = manager->Setup(notifyWindow);
    }
    if (result == kResultOk)
        WriteServiceLog("[OstrelLib] Initialize");
    else
        WriteServiceLogFormat("[OstrelLib] Initialize Failed : %d", result);
    return result;
}

void FinalizeService() {
    WriteServiceLog("[OstrelLib] Finalize Begin");
    CDownloadLibThread* service = g_service.load();
    // Results of finished files go out before the network stops; what does
    // not make it in time is kept for the next start.
    if (CJobManager* manager = service ? service->JobManager() : nullptr)
        manager->WaitForReports(g_reportDrainMs.load());
    if (service) delete service;
    g_service = nullptr;
    WriteServiceLog("[OstrelLib] Finalize End");
}

CJobManager* GetServiceJobManager() {
    CDownloadLibThread* service = g_service.load();
    return service ? service->JobManager() : nullptr;
}

ServiceResult GetDocumentSize(std::int64_t* size) {
    CJobManager* manager = GetServiceJobManager();
    if (!manager) return kResultFailed;
    const char* data = nullptr;
    std::int64_t length = 0;
    if (!manager->DocumentBytes(&data, &length)) return kResultFailed;
    if (length > 0 && size) *size = length;
    return kResultOk;
}

ServiceResult GetDocument(DocumentRecord* record) {
    CJobManager* manager = GetServiceJobManager();
    if (!manager || !record) return kResultFailed;
    cpLockGuard guard(manager->Lock());
    const char* data = nullptr;
    std::int64_t length = 0;
    if (!manager->DocumentBytes(&data, &length)) return kResultFailed;
    if (record->length != length || !record->data || (length > 0 && !data)) return kResultFailed;
    if (length > 0) std::memcpy(record->data, data, static_cast<std::size_t>(length));
    return kResultOk;
}

ServiceResult GetRemainingBytes(CJob* job, std::int64_t* count) {
    CJobManager* manager = GetServiceJobManager();
    if (!manager) return kResultFailed;
    JobProgress progress;
    if (manager->GetJobStatus(job, &progress) != kResultOk) return kResultFailed;
    if (progress.total != 0) {
        if (count) *count = progress.total - progress.held;
        return kResultOk;
    }
    std::int64_t total = 0;
    if (!manager->CheckedTotal(&total)) return kResultFailed;
    if (count) *count = total;
    return kResultOk;
}

int ServiceWorkerExitsForTesting() {
    return g_workerExits.load();
}

void SetReportDrainForTesting(int ms) { g_reportDrainMs = ms; }

void SetServiceTimeoutsForTesting(int startupMs, int stopMs) {
    g_startupTimeoutMs = startupMs;
    g_stopTimeoutMs = stopMs;
}

void SetWorkerStartHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(g_hookMutex);
    g_workerStartHook = std::move(hook);
}

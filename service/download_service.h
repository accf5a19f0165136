// The service's plain entry points. The user-interface thread calls them;
// they act directly under the service lock on the caller's thread and never
// queue work to the worker thread. Results come back as events posted to the
// notification window (message 0x2B10).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/window.h"
#include "service/base/status_codes.h"

class CJob;
class CJobManager;

// 512 started, 517 the worker did not come up, 518 already initialised.
ServiceResult InitializeService(plat::Hwnd notifyWindow);
// Ends the worker (within the stop time-out, else abandons it) and deletes
// the job manager. Safe to call without InitializeService.
void FinalizeService();

// The job manager of the running service, or null. Its operations are the
// job entry points; the caller skips them when this is null.
CJobManager* GetServiceJobManager();

struct DocumentRecord {
    void* data = nullptr;
    std::uint32_t reserved = 0;
    std::int64_t length = 0;
};

ServiceResult GetDocumentSize(std::int64_t* size);
// Copies the document only when `record->length` equals its length exactly.
ServiceResult GetDocument(DocumentRecord* record);
ServiceResult GetRemainingBytes(CJob* job, std::int64_t* count);

// Test seams: the start-up and stop time-outs (3000 ms each by default), and
// a hook the worker runs first, before it builds anything.
void SetServiceTimeoutsForTesting(int startupMs, int stopMs);
// Test seam: how long FinalizeService waits for pending reports (3000 ms).
void SetReportDrainForTesting(int ms);
void SetWorkerStartHookForTesting(std::function<void()> hook);
// Test seam: how many worker threads have ended so far.
int ServiceWorkerExitsForTesting();

#include "engine/engine_downloader.h"

#include <unistd.h>

#include <algorithm>

#include "engine/engine_paths.h"
#include "engine/engine_port.h"
#include "platform/connectivity.h"
#include "platform/file_handle.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/program_start.h"
#include "platform/shell_execute.h"
#include "platform/socket_owner.h"
#include "platform/text.h"
#include "service/base/job.h"
#include "service/base/service_log.h"
#include "transfers/connection_recipe.h"
#include "transport/cp_mutex.h"
#include "transport/cp_timer.h"
#include "transport/net_interfaces.h"

namespace {

constexpr std::uint32_t kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr std::uint32_t kConnectTimeoutSeconds = 1;

// The user answered "start over" to the resume question (or --resume=no).
bool StartsOver(const CJob* job) {
    std::optional<bool> answer = job->ResumeAnswer();
    return answer.has_value() && !*answer;
}

}  // namespace

CEngineDownloader::CEngineDownloader(IJobDownloadEventListener* listener, cpCMutex* serviceLock,
                                     EngineLauncherFactory launcherFactory, Limits limits)
    : CJobDownloader(listener, serviceLock),
      factory_(std::move(launcherFactory)),
      limits_(std::move(limits)) {
    Launch();
}

CEngineDownloader::~CEngineDownloader() {
    cpLockGuard guard(ServiceLock());
    StopRelaunchTimer();
    DropLink(true);
    if (launcher_) launcher_->Detach();
    launcher_.reset();
    entries_.clear();
    WriteServiceLog("[OstrelLib] CEngineDownloader Destroy");
}

std::int64_t CEngineDownloader::Now() const {
    return limits_.clock ? limits_.clock() : plat::MonotonicMs();
}

void CEngineDownloader::Launch() {
    if (launcher_) launcher_->Detach();
    launcher_.reset();
    if (!factory_) return;
    launcher_ = factory_(this);
    ++launches_;
    if (launcher_) launcher_->Begin();
}

vzICDNLocalClientLayer* CEngineDownloader::Layer() const {
    if (!connection_) return nullptr;
    return static_cast<vzICDNLocalClientLayer*>(connection_.As<vzIQoSContext>()->GetTopLayer());
}

void CEngineDownloader::DropLink(bool close) {
    if (!connection_) return;
    if (vzICDNLocalClientLayer* layer = Layer())
        (void)layer->SetListener(nullptr, 0);  // cannot fail
    DropConnection(connection_, close);
}

void CEngineDownloader::Connect() {
    if (connection_ || retired_) return;
    port_ = EnginePort();
    ConnectionSettings settings;
    settings.actionType = 1;
    settings.connectTimeoutSeconds = kConnectTimeoutSeconds;
    // The link is silent between a job's messages; its own watch is ours.
    settings.idleTimeoutSeconds = 0xFFFFFFFF;
    settings.lowSpeed = LowSpeedLimit{0, 0};
    std::string whyNot;
    if (!OpenConnection(connection_, settings, kClassCdnLocalClientLayer, &whyNot)) {
        WriteServiceLogFormat("[OstrelLib] Engine link not opened : %s", whyNot.c_str());
        return;
    }
    auto* context = connection_.As<vzIQoSContext>();
    const cpSocketAddress peer{kLoopbackNet, port_};
    (void)context->SetHostName("127.0.0.1");  // the name is cut to what the cache takes
    (void)context->SetPeerAddress(peer);      // storing the address cannot fail
    vzICDNLocalClientLayer* layer = Layer();
    (void)layer->SetListener(this, 0);  // storing the listener cannot fail
    // Waits in the send queue: the first message the engine receives.
    (void)layer->SendServiceKey(serviceKey_);  // queued; a failed link ends in OnClosed
    if (vzFailed(context->Connect(peer))) (void)context->PostClose();  // ends through OnClosed
}

bool CEngineDownloader::PortIsOurs() const {
    std::uint32_t uid = 0;
    return plat::LoopbackListenerUid(port_, &uid) && uid == static_cast<std::uint32_t>(getuid());
}

std::string CEngineDownloader::ForeignListener() const {
    int pid = 0;
    // A listener that cannot be traced is given the benefit of the doubt:
    // it is this user's, and the engine's checks of its own follow.
    if (!plat::LoopbackListenerProcess(port_, &pid)) return {};
    const std::string program = plat::ProcessExecutablePath(pid);
    const std::size_t slash = program.find_last_of('/');
    const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    if (program.empty() || name == kEngineFileName) return {};
    return "process " + std::to_string(pid) + ", " + program;
}

CEngineDownloader::Entry* CEngineDownloader::FindEntry(std::uint32_t jobKey) {
    for (Entry& entry : entries_)
        if (entry.jobKey == jobKey) return &entry;
    return nullptr;
}

CEngineDownloader::Entry* CEngineDownloader::FindEntry(std::uint32_t jobKey,
                                                       std::uint32_t engineJob) {
    for (Entry& entry : entries_)
        if (entry.jobKey == jobKey && entry.engineJob == static_cast<std::int32_t>(engineJob))
            return &entry;
    return nullptr;
}

void CEngineDownloader::RemoveEntry(const Entry* entry) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [entry](const Entry& e) { return &e == entry; }),
                   entries_.end());
}

EngineJobWatch* CEngineDownloader::FindWatch(const CJob* job) {
    for (auto& watch : watches_)
        if (watch->job == job) return watch.get();
    return nullptr;
}

EngineJobWatch* CEngineDownloader::WatchFor(CJob* job) {
    if (EngineJobWatch* watch = FindWatch(job)) return watch;
    watches_.push_back(std::make_unique<EngineJobWatch>(job, Now()));
    return watches_.back().get();
}

void CEngineDownloader::DropWatch(const CJob* job, bool withPartialFiles) {
    auto it = std::find_if(watches_.begin(), watches_.end(),
                           [job](const auto& watch) { return watch->job == job; });
    if (it == watches_.end()) return;
    std::unique_ptr<EngineJobWatch> watch = std::move(*it);
    watches_.erase(it);
    if (watch->checker) {
        watch->checker->DetachListener();
        retiredCheckers_.push_back(std::move(watch->checker));
    }
    if (!watch->sizesKnown) return;
    std::vector<ResultRecord> records = watch->Results(withPartialFiles);
    if (records.empty()) return;
    if (IJobDownloadEventListener* listener = Listener()) listener->OnJobResults(records);
}

void CEngineDownloader::MoveToDirect(CJob* job, const Entry* entry, const std::string& why) {
    WriteServiceLogFormat("[OstrelLib] Job %d goes to direct download : %.400s", job->Id(),
                          why.c_str());
    if (entry) {
        if (vzICDNLocalClientLayer* layer = Layer())
            (void)layer->SendCancelJob(entry->jobKey, static_cast<std::uint32_t>(entry->engineJob));
        RemoveEntry(entry);
    }
    // What the engine finished is reported now; the direct downloader
    // reports only what it fetches itself.
    DropWatch(job, false);
    NotifyJobMessage(job, kReasonMovedToDirect, nullptr);
    if (!ReleaseJob(job)) return;
    StopTickIfIdle();
    // Last: the job manager attaches it to the direct downloader.
    if (IJobDownloadEventListener* listener = Listener()) listener->OnJobToDirect(job);
}

ServiceResult CEngineDownloader::Begin(CJob* job) {
    if (retired_) return kResultFailed;
    if (FindEntry(static_cast<std::uint32_t>(job->Id()))) return kResultFailed;
    retiredCheckers_.clear();
    if (Offline()) return kResultEngineOffline;
    EngineJobWatch* watch = WatchFor(job);
    if (!watch->sizesKnown) {
        // Described once every size is known; the probe reports back.
        if (!watch->checker) CheckSizes(watch);
        return kResultOk;
    }
    if (!connection_ || lastConnected_ == 0) {
        // Described on connect; until then the window says what it waits for.
        if (!watch->preparingTold) {
            watch->preparingTold = true;
            NotifyJobMessage(job, kReasonPreparingEngine, nullptr);
        }
        return kResultOk;
    }
    Describe(watch);
    return kResultOk;
}

void CEngineDownloader::CheckSizes(EngineJobWatch* watch) {
    watch->checker = std::make_unique<CPlatformFileSizeChecker>(this, watch);
    // May report inside: every size may be known already.
    watch->checker->Check(watch->job->Files(), !StartsOver(watch->job), recent_);
}

void CEngineDownloader::OnSizeCheckCompleted(void* context, const SizeTotals&) {
    if (retired_) return;
    auto* watch = static_cast<EngineJobWatch*>(context);
    std::vector<std::int64_t> sizes;
    for (const auto& file : watch->job->Files())
        sizes.push_back(watch->checker->RemoteSizeOf(file->index));
    watch->TakeSizes(std::move(sizes));
    CJob* job = watch->job;
    if (Holds(job)) (void)Begin(job);  // described now, or on connect
}

void CEngineDownloader::OnSizeCheckFailed(void* context, int, const std::string& text) {
    if (retired_) return;
    auto* watch = static_cast<EngineJobWatch*>(context);
    // The direct downloader asks again and answers the failure its own way.
    MoveToDirect(watch->job, nullptr, "the size check failed (" + text + ")");
}

void CEngineDownloader::Describe(EngineJobWatch* watch) {
    CJob* job = watch->job;
    if (++watch->descriptions > limits_.maxDescriptions) {
        // An engine that keeps losing the job (say it crashes every 40 s,
        // after the launches have been reset) must not keep it for ever.
        MoveToDirect(job, nullptr, "described too often");
        return;
    }
    LocalJobHead head{static_cast<std::uint32_t>(job->Id()),
                      static_cast<std::uint32_t>(job->FileCount()), job->ServiceKey()};
    std::vector<LocalFileRecord> files;
    for (const auto& file : job->Files())
        files.push_back({static_cast<std::uint8_t>(file->option1),
                         static_cast<std::uint8_t>(file->option2),
                         watch->sizes[static_cast<std::size_t>(file->index)], file->folder,
                         file->localName, file->url});
    vzICDNLocalClientLayer* layer = Layer();
    Entry entry;
    entry.jobKey = head.jobKey;
    entry.job = job;
    entry.describedAt = Now();
    entries_.push_back(entry);
    (void)layer->SendJobMode(job->SpeedFlag() ? 2 : 1);  // queued; a failed link ends in OnClosed
    if (job->EngineFlag()) (void)layer->SendJobEngineFlag(head.jobKey);  // likewise
    if (vzFailed(layer->SendJobDescription(head, files))) {
        // A folder, name or address that does not fit its field is never
        // cut into another path: the job is fetched directly instead.
        MoveToDirect(job, &entries_.back(), "a path or address does not fit the engine's fields");
    }
}

bool CEngineDownloader::PastFirstByteBound(const EngineJobWatch& watch) const {
    return !watch.moving && !watch.waitingForPlayer &&
           Now() - watch.attachedAtMs > limits_.firstByteMs;
}

void CEngineDownloader::End(CJob* job) {
    DropWatch(job, true);
    Entry* entry = FindEntry(static_cast<std::uint32_t>(job->Id()));
    if (!entry) return;
    if (vzICDNLocalClientLayer* layer = Layer())
        (void)layer->SendCancelJob(entry->jobKey, static_cast<std::uint32_t>(entry->engineJob));
    RemoveEntry(entry);
}

void CEngineDownloader::CheckJob(CJob* job) {
    if (retired_) return;
    retiredCheckers_.clear();
    plat::ReapStartedPrograms();
    const bool up = plat::IsNetworkUp();
    if (!up && !Offline()) {
        OnUpdateStalled();
    } else if (up && Offline()) {
        SetOffline(false);
        NotifyJobMessage(job, kReasonNetworkBack, nullptr);
        // Jobs that met the offline flag were never described.
        for (CJob* held : std::vector<CJob*>(HeldJobs()))
            if (Holds(held) && !FindEntry(static_cast<std::uint32_t>(held->Id())))
                (void)Begin(held);
    }
    if (!Holds(job)) return;
    const Entry* entry = FindEntry(static_cast<std::uint32_t>(job->Id()));
    if (const EngineJobWatch* watch = FindWatch(job); watch && PastFirstByteBound(*watch)) {
        // Whatever held it up (an update server that drips or keeps silent,
        // an engine slow to start or to accept), the player does not wait
        // longer for a first byte.
        MoveToDirect(job, entry,
                     "nothing arrived within " + std::to_string(limits_.firstByteMs / 1000) +
                         " s of the job's start");
        return;
    }
    // The engine's silence is watched per job; a link that stays silent is
    // closed, which counts as a launch.
    if (!entry || !connection_) return;
    const std::int64_t now = Now();
    const bool late = entry->accepted ? now - entry->lastMessageAt > limits_.silenceMs
                                      : now - entry->describedAt > limits_.acceptWaitMs;
    if (!late) return;
    WriteServiceLogFormat("[OstrelLib] Engine silent on job %d; link closed", job->Id());
    (void)connection_.As<vzIQoSContext>()->Close();  // OnClosed runs the relaunch rule
}

ServiceResult CEngineDownloader::OnResumeAnswer(CJob* job, std::int32_t first,
                                                std::int32_t second) {
    if (EngineJobWatch* watch = FindWatch(job); watch && watch->waitingForPlayer) {
        // The bound counts again from the player's answer.
        watch->waitingForPlayer = false;
        watch->attachedAtMs = Now();
    }
    Entry* entry = FindEntry(static_cast<std::uint32_t>(job->Id()));
    if (entry && Layer())
        (void)Layer()->SendResumeAnswer(static_cast<std::uint32_t>(entry->engineJob), entry->jobKey,
                                        first ? 1 : 0, second ? 1 : 0);
    return kResultOk;
}

void CEngineDownloader::SendJobOption(CJob* job, std::uint8_t value) {
    Entry* entry = FindEntry(static_cast<std::uint32_t>(job->Id()));
    if (entry && Layer())
        (void)Layer()->SendJobOption(entry->jobKey, static_cast<std::uint32_t>(entry->engineJob),
                                     value);
}

void CEngineDownloader::SetServiceKey(const std::string& key) {
    serviceKey_ = key;
    if (vzICDNLocalClientLayer* layer = Layer()) (void)layer->SendServiceKey(key);  // queued
}

void CEngineDownloader::Retire() {
    if (retired_) return;
    retired_ = true;
    StopRelaunchTimer();
    DropLink(true);
    // Retiring may run inside the launcher's own report: it is deleted
    // with this downloader, not now.
    if (launcher_) launcher_->Detach();
    if (launcher_) retiredLauncher_ = std::move(launcher_);
    entries_.clear();
    // The jobs' probes may be on the stack (a failure that gave the engine
    // up); what their files took so far goes with the jobs to direct.
    for (const auto& watch : watches_) {
        if (watch->checker) {
            watch->checker->DetachListener();
            retiredCheckers_.push_back(std::move(watch->checker));
        }
        if (!watch->sizesKnown) continue;
        std::vector<ResultRecord> records = watch->Results(false);
        if (!records.empty())
            if (IJobDownloadEventListener* listener = Listener()) listener->OnJobResults(records);
    }
    watches_.clear();
    // The jobs stay running: the job manager moves them to direct download.
    for (CJob* job : std::vector<CJob*>(HeldJobs())) (void)ReleaseJob(job);
    StopTickIfIdle();
}

// --- The launcher's reports.

void CEngineDownloader::OnUpdateFileStarted(const char* url, std::int64_t size) {
    if (retired_) return;
    if (IJobDownloadEventListener* listener = Listener()) listener->OnEngineUpdateInfo(url, size);
}

void CEngineDownloader::OnUpdateProgress(const char* url, std::int64_t received) {
    if (retired_) return;
    if (IJobDownloadEventListener* listener = Listener())
        listener->OnEngineUpdateProgress(url, received);
}

void CEngineDownloader::OnEngineStarted(bool passGood) {
    if (retired_) return;
    SetOffline(false);
    Connect();
    if (IJobDownloadEventListener* listener = Listener()) listener->OnEngineReady(passGood);
}

void CEngineDownloader::OnEngineStartFailed() {
    if (retired_) return;
    SetOffline(false);
    // No connect: the engine is given up at once, and the job manager
    // retires this downloader inside the call below.
    IJobDownloadEventListener* listener = Listener();
    if (!listener) return;
    listener->OnEngineUnavailable();
    listener->OnEngineFailed();
}

void CEngineDownloader::OnUpdateStalled() {
    if (retired_) return;
    NotifyNetworkDown();
}

void CEngineDownloader::OnUpdateFailed(int kind) {
    if (retired_) return;
    IJobDownloadEventListener* listener = Listener();
    if (!listener) return;
    listener->OnPathAccessFailed(kind);
    if (kind == 1) listener->OnEngineFailed();
}

// --- The engine's messages.

void CEngineDownloader::OnConnected(std::uint32_t) {
    if (retired_) return;
    if (!PortIsOurs()) {
        // Another local user may listen there first and receive the jobs
        // (their paths and URLs) or feed false completions.
        WriteServiceLogFormat(
            "[OstrelLib] Engine port %u is not held by this user; engine not used", port_);
        DropLink(true);
        if (IJobDownloadEventListener* listener = Listener()) listener->OnEngineFailed();
        return;
    }
    if (const std::string holder = ForeignListener(); !holder.empty()) {
        // Another program of this user took the port first: no engine can
        // listen there, and relaunching would only feed that program our
        // jobs six times over.
        WriteServiceLogFormat("[OstrelLib] Engine port %u is held by another program (%.300s); "
                              "engine not used",
                              port_, holder.c_str());
        DropLink(true);
        if (IJobDownloadEventListener* listener = Listener()) listener->OnEngineFailed();
        return;
    }
    lastConnected_ = Now();
    if (linkUpHook_) linkUpHook_();
    for (CJob* job : std::vector<CJob*>(HeldJobs()))
        if (Holds(job)) (void)Begin(job);  // a job that cannot be described goes direct inside
}

void CEngineDownloader::OnJobAccepted(const JobAccepted& record, std::uint32_t) {
    if (retired_) return;
    Entry* entry = FindEntry(record.jobKey);
    if (!entry) return;
    entry->engineJob = static_cast<std::int32_t>(record.engineJob);
    entry->accepted = true;
    entry->lastMessageAt = Now();
    entry->job->SetEngineJobNumber(entry->engineJob);
    EngineJobWatch* watch = FindWatch(entry->job);
    if (!watch || !watch->sizesKnown) return;  // cannot be: described with its sizes
    if (watch->startedAtMs == 0) {
        watch->startedAtMs = Now();
        // The rate's first sample counts from here and what was on disk.
        std::int64_t before = 0;
        for (std::int64_t held : watch->heldBefore) before += held;
        watch->marks.sampleHeld = before;
        watch->marks.sampleAtMs = watch->startedAtMs;
    }
    const std::int64_t total = watch->TotalSize();
    if (record.totalBytes != static_cast<std::uint64_t>(total) && !watch->lieLogged) {
        watch->lieLogged = true;
        WriteServiceLogFormat(
            "[OstrelLib] Engine's total for job %d is %llu bytes, the files' sizes sum to %lld; "
            "the sizes are shown",
            entry->job->Id(), static_cast<unsigned long long>(record.totalBytes),
            static_cast<long long>(total));
    }
    // The job's own count and total, whatever the engine says.
    NotifyJobStart(entry->job, static_cast<std::int32_t>(entry->job->FileCount()), total);
}

void CEngineDownloader::OnJobFailed(const JobFailed& record, std::uint32_t) {
    if (retired_) return;
    Entry* entry = FindEntry(record.jobKey);
    if (!entry) return;
    // The direct downloader asks the servers itself and reacts to what
    // they answer by the service's own rules: a server that is down or a
    // network that is gone makes it wait and try again, a 404 fails the job.
    MoveToDirect(entry->job, entry, "the engine failed the job: " + record.text);
}

void CEngineDownloader::OnProgressReport(const ProgressReport& record, std::uint32_t) {
    if (retired_) return;
    Entry* entry = FindEntry(record.jobKey, record.engineJob);
    if (!entry) return;
    entry->lastMessageAt = Now();
    EngineJobWatch* watch = FindWatch(entry->job);
    if (!watch || !watch->sizesKnown) return;
    std::int64_t before = 0;
    for (std::int64_t held : watch->heldBefore) before += held;
    if (record.receivedBytes > static_cast<std::uint64_t>(before)) watch->moving = true;
    EngineJobFacts facts;
    facts.sizes = &watch->sizes;
    facts.filesDone = watch->VerifiedCount();
    facts.nowMs = Now();
    facts.elapsedMs = watch->startedAtMs ? facts.nowMs - watch->startedAtMs : 0;
    std::string lie;
    const JobProgress progress = MakeEngineProgress(record, *entry->job, facts, &watch->marks, &lie);
    if (!lie.empty() && !watch->lieLogged) {
        watch->lieLogged = true;
        WriteServiceLogFormat(
            "[OstrelLib] Engine's progress for job %d does not add up (%.200s); the service's own "
            "figures are shown",
            entry->job->Id(), lie.c_str());
    }
    NotifyJobProgress(entry->job, progress);
}

std::int32_t CEngineDownloader::FileIndexOf(const CJob& job, const std::string& path,
                                             const std::string& url) const {
    for (const auto& file : job.Files())
        if (plat::SamePath(file->FullPath(), path)) return file->index;
    for (const auto& file : job.Files())
        if (file->url == url) return file->index;
    return -1;
}

std::string CEngineDownloader::StoredPath(const CJob& job, const std::string& stored,
                                          std::int64_t size, const std::string& ownPath) const {
    if (plat::PathInsideFolder(stored, job.DownloadFolder()) &&
        plat::OwnFileLength(stored) == size)
        return stored;
    WriteServiceLogFormat("[OstrelLib] Engine stored path refused : %.300s", stored.c_str());
    return ownPath;
}

void CEngineDownloader::ReportFileDone(EngineJobWatch* watch, std::size_t index,
                                       const char* stored) {
    if (watch->told[index]) return;
    watch->told[index] = true;
    const JobFileEntry& file = *watch->job->Files()[index];
    // The text names the job's own URL field, not the engine's echo of it.
    NotifyJobFileCompleted(watch->job, file.FullPath(), stored, file.url);
}

void CEngineDownloader::CompleteFile(const FileDone& record, bool at) {
    Entry* entry = FindEntry(record.jobKey, record.engineJob);
    if (!entry) return;
    entry->lastMessageAt = Now();
    CJob* job = entry->job;
    EngineJobWatch* watch = FindWatch(job);
    if (!watch || !watch->sizesKnown) return;
    const std::int32_t index = FileIndexOf(*job, record.path, record.url);
    if (index < 0) {
        WriteServiceLogFormat("[OstrelLib] Engine finished a file the job does not have : %.300s",
                              record.path.c_str());
        return;
    }
    const auto i = static_cast<std::size_t>(index);
    std::string why;
    if (!watch->CheckFile(i, &why)) {
        // Believed only once the file is there: the end of the job checks
        // again and hands what is missing to direct download.
        WriteServiceLogFormat("[OstrelLib] Engine reported a file finished, but %.400s",
                              why.c_str());
        return;
    }
    watch->moving = true;
    if (record.hasBytes) watch->NoteFileBytes(i, record.bytes);
    const std::string ownPath = job->Files()[i]->FullPath();
    if (at) {
        const std::string stored = StoredPath(*job, record.storedPath, watch->sizes[i], ownPath);
        ReportFileDone(watch, i, stored.c_str());
    } else {
        ReportFileDone(watch, i, nullptr);
    }
}

void CEngineDownloader::OnFileDone(const FileDone& record, std::uint32_t) {
    if (!retired_) CompleteFile(record, false);
}

void CEngineDownloader::OnFileDoneAt(const FileDone& record, std::uint32_t) {
    if (!retired_) CompleteFile(record, true);
}

void CEngineDownloader::OnJobEnded(const JobEnded& record, std::uint32_t) {
    if (retired_) return;
    Entry* entry = FindEntry(record.jobKey, record.engineJob);
    if (!entry) return;
    CJob* job = entry->job;
    EngineJobWatch* watch = FindWatch(job);
    if (record.fallback != 0) return MoveToDirect(job, entry, "the engine asked for it");
    std::string why = "the job's sizes are not known";
    const std::size_t missing = watch && watch->sizesKnown ? watch->MissingFiles(&why) : 1;
    if (missing > 0) {
        // An end with files missing or short is no success, whatever the
        // engine says: the direct downloader fetches the rest.
        return MoveToDirect(job, entry,
                            "files are missing (" + std::to_string(missing) + "; " + why + ")");
    }
    RemoveEntry(entry);
    watch->moving = true;
    // Files the engine never reported are told now (the window looks for
    // the installer among them), in order.
    for (std::size_t i = 0; i < job->FileCount(); ++i) ReportFileDone(watch, i, nullptr);
    EngineJobFacts facts;
    facts.sizes = &watch->sizes;
    facts.filesDone = job->FileCount();
    facts.nowMs = Now();
    facts.elapsedMs = watch->startedAtMs ? facts.nowMs - watch->startedAtMs : 0;
    NotifyJobProgress(job, FinalEngineProgress(*job, facts, watch->marks));
    WriteServiceLogFormat("[OstrelLib] Job %d finished through the engine : %.200s", job->Id(),
                          watch->SourcesText().c_str());
    DropWatch(job, false);
    if (!ReleaseJob(job)) return;
    job->NotifyCompleted(static_cast<std::int32_t>(job->FileCount()));
    StopTickIfIdle();
}

void CEngineDownloader::OnJobState(const JobStateRecord& record, std::uint32_t) {
    if (retired_) return;
    Entry* entry = FindEntry(record.jobKey, record.engineJob);
    if (!entry) return;
    entry->lastMessageAt = Now();
    if (record.state != 1) return;
    // Paused until there is room: no first byte is owed meanwhile.
    if (EngineJobWatch* watch = FindWatch(entry->job)) watch->waitingForPlayer = true;
    NotifyJobMessage(entry->job, kReasonDiskFull, nullptr);
}

void CEngineDownloader::OnNetworkLost(std::uint32_t) {
    if (!retired_ && !entries_.empty())
        NotifyJobMessage(entries_.front().job, kReasonNetworkDown, nullptr);
}

void CEngineDownloader::OnNetworkRestored(std::uint32_t) {
    if (!retired_ && !entries_.empty())
        NotifyJobMessage(entries_.front().job, kReasonNetworkBack, nullptr);
}

void CEngineDownloader::OnResumeQuestion(std::uint32_t jobKey) {
    if (retired_) return;
    Entry* entry = FindEntry(jobKey);
    if (!entry) return;
    entry->lastMessageAt = Now();
    if (EngineJobWatch* watch = FindWatch(entry->job)) watch->waitingForPlayer = true;
    // A job answered before it started (the terminal program's --resume)
    // needs nobody to be asked.
    if (std::optional<bool> answer = entry->job->ResumeAnswer(); answer && Layer()) {
        (void)Layer()->SendResumeAnswer(static_cast<std::uint32_t>(entry->engineJob), entry->jobKey,
                                        *answer ? 1 : 0, 1);
        if (EngineJobWatch* watch = FindWatch(entry->job)) watch->waitingForPlayer = false;
        return;
    }
    entry->job->NotifyResumePrompt();
}

void CEngineDownloader::OnConnectFailed(std::uint32_t) {}

void CEngineDownloader::OnClosed(std::uint32_t) {
    if (retired_) return;
    DropLink(false);
    const std::int64_t now = Now();
    if (lastConnected_ != 0 && now - lastConnected_ > limits_.longConnectionMs) {
        launches_ = 0;
        lastConnected_ = 0;
    }
    lastConnected_ = 0;
    WriteServiceLog("[OstrelLib] localClosed()");
    if (launches_ >= limits_.maxLaunches) {
        WriteServiceLog("[OstrelLib] CEngineDownloader MaxTry Over");
        if (IJobDownloadEventListener* listener = Listener()) listener->OnEngineFailed();
        return;
    }
    entries_.clear();
    ScheduleRelaunch();
}

void CEngineDownloader::ScheduleRelaunch() {
    if (launcher_) launcher_->Detach();
    launcher_.reset();
    // An engine that ends or refuses at once must not use up its launches
    // within a second: each relaunch waits twice as long as the last.
    std::int64_t pause = limits_.relaunchPauseMs;
    for (int i = 1; i < launches_ && pause < limits_.relaunchPauseMaxMs; ++i) pause *= 2;
    pause = std::min(pause, limits_.relaunchPauseMaxMs);
    if (pause <= 0) return Launch();
    if (!relaunchTimer_ && !relaunchTimer_.CreateInstance(kClassTimer)) return Launch();
    auto* timer = relaunchTimer_.As<cpCTimer>();
    (void)timer->Stop();  // stopping a timer cannot fail
    if (vzFailed(timer->Start(static_cast<std::uint32_t>(pause), &CEngineDownloader::OnRelaunchTimer,
                              this, kTimerIdNone, nullptr)))
        Launch();
}

void CEngineDownloader::OnRelaunchTimer(void* self) {
    auto* downloader = static_cast<CEngineDownloader*>(self);
    (void)downloader->relaunchTimer_.As<cpCTimer>()->Stop();  // once: the timer is periodic
    if (!downloader->retired_) downloader->Launch();
}

void CEngineDownloader::StopRelaunchTimer() {
    if (relaunchTimer_) (void)relaunchTimer_.As<cpCTimer>()->Stop();  // cannot fail
}

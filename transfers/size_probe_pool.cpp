#include "transfers/size_probe_pool.h"

#include "http/content_range.h"
#include "http/http_status.h"
#include "transfers/transfer_policy.h"

class CSizeProbePool::Probe final : private IHttpExchangeSink {
public:
    Probe(CSizeProbePool* pool, std::size_t slot, std::string field, ExchangeRole role)
        : pool_(pool), slot_(slot), field_(std::move(field)), exchange_(this, PlanFor(role)) {}

    void Start() { exchange_.Start(field_); }
    void Stop() { exchange_.Finish(); }
    const std::string& Field() const { return field_; }
    const std::string& AnsweredBy() const { return exchange_.Cursor().Alternative(); }

private:
    static ExchangePlan PlanFor(ExchangeRole role) {
        ExchangePlan plan;
        plan.role = role;
        plan.settings.actionType = 1;
        plan.settings.connectTimeoutSeconds = kConnectTimeoutSeconds;
        plan.settings.idleTimeoutSeconds = kIdleTimeoutSeconds;
        // The sum takes an answer without a length (as 0); the size check
        // needs every size.
        plan.need = role == ExchangeRole::kSum ? BodyNeed::kLengthOrChunked : BodyNeed::kLength;
        plan.takeRangeNotSatisfiable = true;
        return plan;
    }

    bool OnRequest(HttpHeaders* headers) override {
        // As little body as the server allows: one byte.
        headers->emplace_back("Range", "bytes=0-0");
        return true;
    }

    HeadVerdict OnHead(const ExchangeHead& head) override {
        std::string value;
        ContentRange range;
        const bool readable = vzSucceeded(head.layer->GetHeader("Content-Range", &value)) &&
                              ParseContentRange(value, &range);
        if (head.status == eNWHSC_HTTP_PARTIAL_CONTENT) {
            if (!readable || range.first != 0)
                return HeadVerdict::Reject(HttpOutcome::kWrongPart,
                                           "the server answered with another part of the file (" +
                                               value.substr(0, 64) + ")");
            if (range.total >= 0) return Found(range.total, true);
            return Unannounced("the server did not announce the file's size (Content-Range " +
                               value.substr(0, 64) + ")");
        }
        if (head.status == eNWHSC_HTTP_RANGE_NOT_SATISFIABLE) {
            // Not even the first byte: an empty file, if the server says so.
            if (readable && range.total == 0) return Found(0, true);
            return HeadVerdict::Reject(
                HttpOutcome::kWrongPart,
                "HTTP 416 for the first byte" + (value.empty() ? std::string() : " (" + value.substr(0, 64) + ")"));
        }
        // 200: the whole file, its length announced (the exchange checked
        // that the role's need is met).
        if (head.framing == HttpBodyFraming::kLength || head.framing == HttpBodyFraming::kNone)
            return Found(head.contentLength, true);
        return Unannounced("the server did not announce the file's size (chunked body)");
    }

    HeadVerdict Found(std::int64_t size, bool announced) {
        size_ = size;
        announced_ = announced;
        return HeadVerdict::Enough();
    }

    HeadVerdict Unannounced(std::string why) {
        if (exchange_.Plan().role == ExchangeRole::kSum) return Found(0, false);
        return HeadVerdict::Reject(HttpOutcome::kNotTheBody, std::move(why));
    }

    std::int32_t OnBody(const void*, std::int32_t length) override { return length; }
    void OnEnd() override { pool_->OnProbeDone(slot_, size_, announced_); }
    void OnFailed(const ExchangeFailure& failure) override { pool_->OnProbeFailed(slot_, failure); }

    CSizeProbePool* pool_;
    std::size_t slot_;
    std::string field_;
    CHttpExchange exchange_;
    std::int64_t size_ = 0;
    bool announced_ = false;
};

CSizeProbePool::CSizeProbePool(ISizeProbePoolListener* listener, ExchangeRole role)
    : listener_(listener), role_(role) {}

CSizeProbePool::~CSizeProbePool() {
    *alive_ = false;
    listener_ = nullptr;
    probes_.clear();
    retired_.clear();
}

std::size_t CSizeProbePool::Add(const std::string& urlField) {
    retired_.clear();
    probes_.push_back(std::make_unique<Probe>(this, probes_.size(), urlField, role_));
    // A file added while a run goes on joins it.
    if (!ended_) StartMore();
    return probes_.size() - 1;
}

void CSizeProbePool::Run() {
    retired_.clear();
    Stop();
    ended_ = false;
    next_ = 0;
    running_ = 0;
    StartMore();
}

void CSizeProbePool::Stop() {
    ++run_;
    ended_ = true;
    for (auto& probe : probes_) probe->Stop();
    running_ = 0;
}

void CSizeProbePool::Clear() {
    Stop();
    for (auto& probe : probes_) retired_.push_back(std::move(probe));
    probes_.clear();
    next_ = 0;
}

const std::string& CSizeProbePool::AnsweredBy(std::size_t slot) const {
    return probes_.at(slot)->AnsweredBy();
}

const std::string& CSizeProbePool::Field(std::size_t slot) const { return probes_.at(slot)->Field(); }

void CSizeProbePool::StartMore() {
    const std::uint64_t run = run_;
    const std::shared_ptr<bool> alive = alive_;
    while (!ended_ && running_ < transfer_policy::kParallelSizeProbes && next_ < probes_.size()) {
        Probe* probe = probes_[next_++].get();
        ++running_;
        probe->Start();
        // A probe that failed at once ended the run (and the owner may have
        // let the pool go): nothing more is started.
        if (!*alive || run != run_) return;
    }
}

void CSizeProbePool::OnProbeDone(std::size_t slot, std::int64_t size, bool announced) {
    --running_;
    const std::uint64_t run = run_;
    const std::shared_ptr<bool> alive = alive_;
    if (listener_) listener_->OnSizeFound(slot, size, announced);
    // The owner may have let the pool go, or stopped the run.
    if (!*alive || run != run_) return;
    StartMore();
}

void CSizeProbePool::OnProbeFailed(std::size_t slot, const ExchangeFailure& failure) {
    Stop();
    if (listener_) listener_->OnSizeFailed(slot, failure);
}

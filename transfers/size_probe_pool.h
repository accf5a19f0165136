// CSizeProbePool: finds the remote sizes of a list of files, at most
// kParallelSizeProbes at a time, for the file list's sum (the total the
// window shows) and for a job's size check before its transfer.
//
// Each file is one exchange (transfers/http_exchange.h) of the pool's role:
// the sum and the size check differ only in how they react to a failure,
// and that is the reaction table's business. A probe asks for the file's
// first byte ("Range: bytes=0-0") and reads the size from the answer's
// Content-Range (206), or from its Content-Length when the server sends the
// whole file (200) — then the connection is kept only if at most 64 KiB of
// body are left to read away, else closed. A 416 whose Content-Range says
// "*/0" is an empty file. The sum takes an answer that announces no size as
// 0 bytes (`announced` false); the size check refuses it.
//
// The first failure ends the pool's run: the probes still running are given
// up, none is started, and the owner hears OnSizeFailed.
//
// Ownership: owned by its checker; it owns its probes. Reports are the last
// thing a pool call does, so the owner may destroy the pool from inside one.
// Thread: under the service lock (a caller's thread for Run, the worker for
// the HTTP events).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transfers/http_exchange.h"

class ISizeProbePoolListener {
public:
    // The size of the file added as `slot`; `announced` false when the
    // server named none (the sum counts 0).
    virtual void OnSizeFound(std::size_t slot, std::int64_t size, bool announced) = 0;
    virtual void OnSizeFailed(std::size_t slot, const ExchangeFailure& failure) = 0;

protected:
    ~ISizeProbePoolListener() = default;
};

class CSizeProbePool {
public:
    static constexpr std::uint32_t kConnectTimeoutSeconds = 5;
    static constexpr std::uint32_t kIdleTimeoutSeconds = 3;

    // `role`: ExchangeRole::kSum or ExchangeRole::kSizeProbe.
    CSizeProbePool(ISizeProbePoolListener* listener, ExchangeRole role);
    ~CSizeProbePool();
    CSizeProbePool(const CSizeProbePool&) = delete;
    CSizeProbePool& operator=(const CSizeProbePool&) = delete;

    // Adds a file's URL field; its slot is the number of files added before.
    std::size_t Add(const std::string& urlField);
    // Probes every file added, in order, from the first.
    void Run();
    // Gives up every probe; no report follows.
    void Stop();
    // Stop, and forget the files.
    void Clear();
    void DetachListener() { listener_ = nullptr; }

    std::size_t Count() const { return probes_.size(); }
    int Running() const { return running_; }
    // The address that answered the probe of `slot` (its alternative).
    const std::string& AnsweredBy(std::size_t slot) const;
    const std::string& Field(std::size_t slot) const;

private:
    class Probe;
    void StartMore();
    void OnProbeDone(std::size_t slot, std::int64_t size, bool announced);
    void OnProbeFailed(std::size_t slot, const ExchangeFailure& failure);

    ISizeProbePoolListener* listener_;
    ExchangeRole role_;
    std::vector<std::unique_ptr<Probe>> probes_;
    // Probes of a run that ended, or of files cleared: a run ends from inside
    // a probe's own event, so they go at the next Add, Run or Clear.
    std::vector<std::unique_ptr<Probe>> retired_;
    std::size_t next_ = 0;
    int running_ = 0;
    bool ended_ = true;
    std::uint64_t run_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

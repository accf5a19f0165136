// What the engine downloader knows of one job it carries, across launches,
// so that nothing the engine says is believed unchecked: the remote size of
// every file (the file list's sum, or the service's own probe), what each
// file held on disk before the engine took it, which files were found whole
// at the job's own path, what the engine said each file took, and the
// progress already shown (so that it never runs backwards).
//
// A file counts as done only when a regular file of exactly its remote
// size sits at the job's own path (no symbolic link in its place); the
// engine's report of it is the cue to look, never the proof.
//
// Plain state, owned by the engine downloader and touched under the service
// lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_progress.h"
#include "engine/local_protocol.h"
#include "transfers/result_record.h"

class CJob;
class CPlatformFileSizeChecker;

struct EngineJobWatch {
    explicit EngineJobWatch(CJob* watched, std::int64_t nowMs);
    ~EngineJobWatch();
    EngineJobWatch(const EngineJobWatch&) = delete;
    EngineJobWatch& operator=(const EngineJobWatch&) = delete;

    // The sizes are known (from the sum or the probe): records what each
    // file holds on disk now, the base for what the engine will fetch.
    void TakeSizes(std::vector<std::int64_t> knownSizes);
    // Looks at the job's own path of file `index`; true when it is whole.
    // `why` says what is wrong otherwise.
    bool CheckFile(std::size_t index, std::string* why);
    // Every file is whole at its own path (each looked at anew); the count
    // of those that are not, and the first one's reason.
    std::size_t MissingFiles(std::string* firstWhy);
    std::int64_t TotalSize() const;
    std::size_t VerifiedCount() const;
    // The engine's figures for a file it finished, kept for the report.
    void NoteFileBytes(std::size_t index, const FileBytes& bytes);
    // One record per file the job fetched (the engine's figure when it gave
    // one, else what the file grew by), for the report server; with
    // `withPartialFiles` also what unfinished files grew by (a stopped job).
    std::vector<ResultRecord> Results(bool withPartialFiles) const;
    // "X bytes from peers, Y from file servers" when the engine said so.
    std::string SourcesText() const;

    CJob* job;
    std::int64_t attachedAtMs;
    // The engine accepted the job at least once (for the elapsed time).
    std::int64_t startedAtMs = 0;
    bool sizesKnown = false;
    std::vector<std::int64_t> sizes;       // remote size per file
    std::vector<std::int64_t> heldBefore;  // bytes on disk before the engine
    std::vector<bool> verified;            // whole at the job's own path
    std::vector<bool> told;                // the window has heard of it
    std::vector<std::int64_t> took;        // the engine's figure per file; -1 none
    std::uint64_t fromPeers = 0, fromServers = 0;
    bool sourcesKnown = false;
    std::unique_ptr<CPlatformFileSizeChecker> checker;
    int descriptions = 0;
    // Something moved: a byte, a finished file or the end. Until then the
    // job counts against the first-byte bound.
    bool moving = false;
    // The engine waits for the player (the resume question) or for room on
    // the disk: the bound does not run.
    bool waitingForPlayer = false;
    bool preparingTold = false;
    bool lieLogged = false;
    EngineProgressMarks marks;
};

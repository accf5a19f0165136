// The local engine link as its users see it: the layer's own interface,
// which turns job commands into messages, and the listener that hears the
// engine's messages as decoded records.
//
// Every call runs with the service lock held (the socket events on the
// worker thread); a listener may close the connection from inside any event.
// Texts in the records are copies; they may be kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/local_protocol.h"
#include "service/base/vz_unknown.h"

class nwICDNLocalClientEventListener {
public:
    virtual void OnConnected(std::uint32_t context) = 0;
    virtual void OnJobAccepted(const JobAccepted& record, std::uint32_t context) = 0;
    virtual void OnJobFailed(const JobFailed& record, std::uint32_t context) = 0;
    virtual void OnProgressReport(const ProgressReport& record, std::uint32_t context) = 0;
    virtual void OnFileDone(const FileDone& record, std::uint32_t context) = 0;
    virtual void OnFileDoneAt(const FileDone& record, std::uint32_t context) = 0;
    virtual void OnJobEnded(const JobEnded& record, std::uint32_t context) = 0;
    virtual void OnJobState(const JobStateRecord& record, std::uint32_t context) = 0;
    virtual void OnNetworkLost(std::uint32_t context) = 0;
    virtual void OnNetworkRestored(std::uint32_t context) = 0;
    // The connection is gone (also after a failed connect); nothing follows.
    virtual void OnClosed(std::uint32_t context) = 0;
    virtual void OnConnectFailed(std::uint32_t context) = 0;
    virtual void OnResumeQuestion(std::uint32_t jobKey) = 0;

protected:
    ~nwICDNLocalClientEventListener() = default;
};

class vzICDNLocalClientLayer : public vzIUnknown {
public:
    virtual vzStatus SetListener(nwICDNLocalClientEventListener* listener,
                                 std::uint32_t context) = 0;
    virtual vzStatus SendJobMode(std::uint8_t mode) = 0;
    virtual vzStatus SendJobLabel(const std::string& label) = 0;
    // Describes a job: one JobSubmit (type 0x0102) when its payload stays
    // below 130048 bytes, else JobSubmitBegin, one JobSubmitFile per file and
    // JobSubmitEnd. kLayerFail, with nothing sent, when a field does not fit.
    virtual vzStatus SendJobDescription(const LocalJobHead& head,
                                        const std::vector<LocalFileRecord>& files) = 0;
    virtual vzStatus SendCancelJob(std::uint32_t jobKey, std::uint32_t engineJob) = 0;
    virtual vzStatus SendServiceKey(const std::string& key) = 0;
    virtual vzStatus SendJobOption(std::uint32_t jobKey, std::uint32_t engineJob,
                                   std::uint8_t value) = 0;
    virtual vzStatus SendJobEngineFlag(std::uint32_t jobKey) = 0;
    virtual vzStatus SendResumeAnswer(std::uint32_t engineJob, std::uint32_t jobKey,
                                      std::uint8_t first, std::uint8_t second) = 0;
};

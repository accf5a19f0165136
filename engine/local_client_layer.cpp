#include "engine/local_client_layer.h"

#include "service/base/service_log.h"

namespace {

const std::uint8_t* Bytes(const void* payload) {
    return static_cast<const std::uint8_t*>(payload);
}
nwCCDNLocalClientLayer* Self(void* self) {
    return static_cast<nwCCDNLocalClientLayer*>(self);
}

}  // namespace

nwCCDNLocalClientLayer::nwCCDNLocalClientLayer() {
    RegisterHandlers();
}

nwCCDNLocalClientLayer::~nwCCDNLocalClientLayer() {
    (void)StoreListener(nullptr, 0);
}  // cannot fail

void nwCCDNLocalClientLayer::RegisterHandlers() {
    struct Entry {
        std::uint16_t subtype;
        nwFramedCallback callback;
    };
    const Entry entries[] = {
        {kMsgJobAccepted, &OnAccepted}, {kMsgProgressReport, &OnProgress},
        {kMsgJobEnded, &OnEnded},       {kMsgFileDone, &OnDone},
        {kMsgFileDoneAt, &OnDoneAt},    {kMsgJobState, &OnState},
        {kMsgNetworkLost, &OnLost},     {kMsgNetworkRestored, &OnRestored},
        {kMsgJobFailed, &OnFailed},     {kMsgResumeQuestion, &OnResume},
    };
    for (const Entry& entry : entries)
        (void)Dispatcher().RegisterHandler(kLocalMessageType, entry.subtype, entry.callback,
                                           this);  // the callbacks are never null
}

vzStatus nwCCDNLocalClientLayer::SetListener(nwICDNLocalClientEventListener* listener,
                                             std::uint32_t context) {
    return StoreListener(listener, context);
}

vzStatus nwCCDNLocalClientLayer::Send(std::uint16_t subtype,
                                      const std::vector<std::uint8_t>& payload,
                                      std::uint16_t type) {
    return SendFrame(subtype, payload.data(), static_cast<std::uint32_t>(payload.size()), type);
}

vzStatus nwCCDNLocalClientLayer::SendJobMode(std::uint8_t mode) {
    return Send(kMsgJobMode, EncodeJobMode(mode));
}

vzStatus nwCCDNLocalClientLayer::SendJobLabel(const std::string& label) {
    std::vector<std::uint8_t> payload(20, 0);
    const std::size_t n = std::min<std::size_t>(label.size(), 19);
    std::copy(label.begin(), label.begin() + static_cast<std::ptrdiff_t>(n), payload.begin());
    return Send(kMsgJobLabel, payload);
}

vzStatus nwCCDNLocalClientLayer::SendJobDescription(const LocalJobHead& head,
                                                    const std::vector<LocalFileRecord>& files) {
    std::vector<std::uint8_t> payload;
    if (JobSubmitPayloadLength(files) < kSubmitSplitThreshold) {
        if (!EncodeJobSubmit(head, files, &payload)) return kLayerFail;
        return Send(kMsgJobSubmit, payload, kLocalSubmitType);
    }
    // Every piece is checked before anything goes out: a description is
    // never sent in part.
    std::vector<std::vector<std::uint8_t>> pieces(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!EncodeJobSubmitFile(head.jobKey, static_cast<std::uint32_t>(i), files[i], &pieces[i]))
            return kLayerFail;
    if (!EncodeJobSubmitBegin(head, &payload)) return kLayerFail;
    if (vzFailed(Send(kMsgJobSubmitBegin, payload))) return kLayerFail;
    for (const auto& piece : pieces)
        if (vzFailed(Send(kMsgJobSubmitFile, piece))) return kLayerFail;
    return Send(kMsgJobSubmitEnd, EncodeJobKey(head.jobKey));
}

vzStatus nwCCDNLocalClientLayer::SendCancelJob(std::uint32_t jobKey, std::uint32_t engineJob) {
    return Send(kMsgCancelJob, EncodeCancelJob(jobKey, engineJob));
}

vzStatus nwCCDNLocalClientLayer::SendServiceKey(const std::string& key) {
    return Send(kMsgServiceKey, EncodeServiceKey(key));
}

vzStatus nwCCDNLocalClientLayer::SendJobOption(std::uint32_t jobKey, std::uint32_t engineJob,
                                               std::uint8_t value) {
    return Send(kMsgJobOption, EncodeJobOption(jobKey, engineJob, value));
}

vzStatus nwCCDNLocalClientLayer::SendJobEngineFlag(std::uint32_t jobKey) {
    return Send(kMsgJobEngineFlag, EncodeJobKey(jobKey));
}

vzStatus nwCCDNLocalClientLayer::SendResumeAnswer(std::uint32_t engineJob, std::uint32_t jobKey,
                                                  std::uint8_t first, std::uint8_t second) {
    return Send(kMsgResumeAnswer, EncodeResumeAnswer(engineJob, jobKey, first, second));
}

bool nwCCDNLocalClientLayer::OnConnected() {
    if (auto* listener = Listener()) listener->OnConnected(ListenerValue());
    return true;
}

void nwCCDNLocalClientLayer::OnClosed() {
    auto* listener = Listener();
    const std::uint32_t context = ListenerValue();
    (void)StoreListener(nullptr, 0);  // cannot fail; nothing follows a close
    if (listener) listener->OnClosed(context);
}

bool nwCCDNLocalClientLayer::OnConnectFailedEvent() {
    if (auto* listener = Listener()) listener->OnConnectFailed(ListenerValue());
    return true;
}

void nwCCDNLocalClientLayer::Malformed(std::uint16_t subtype, std::uint32_t length) {
    WriteServiceLogFormat("[OstrelLib] Engine message %u of %u bytes is malformed; link closed",
                          subtype, length);
    (void)Close();  // a close always completes
}

void nwCCDNLocalClientLayer::OnAccepted(const void* payload, std::uint32_t length, void* self) {
    JobAccepted record;
    if (!DecodeJobAccepted(Bytes(payload), length, &record))
        return Self(self)->Malformed(kMsgJobAccepted, length);
    if (auto* listener = Self(self)->Listener())
        listener->OnJobAccepted(record, Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnProgress(const void* payload, std::uint32_t length, void* self) {
    ProgressReport record;
    if (!DecodeProgressReport(Bytes(payload), length, &record))
        return Self(self)->Malformed(kMsgProgressReport, length);
    if (auto* listener = Self(self)->Listener())
        listener->OnProgressReport(record, Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnEnded(const void* payload, std::uint32_t length, void* self) {
    JobEnded record;
    if (!DecodeJobEnded(Bytes(payload), length, &record))
        return Self(self)->Malformed(kMsgJobEnded, length);
    if (auto* listener = Self(self)->Listener())
        listener->OnJobEnded(record, Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnDone(const void* payload, std::uint32_t length, void* self) {
    FileDone record;
    if (!DecodeFileDone(Bytes(payload), length, false, &record))
        return Self(self)->Malformed(kMsgFileDone, length);
    if (auto* listener = Self(self)->Listener())
        listener->OnFileDone(record, Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnDoneAt(const void* payload, std::uint32_t length, void* self) {
    FileDone record;
    if (!DecodeFileDone(Bytes(payload), length, true, &record))
        return Self(self)->Malformed(kMsgFileDoneAt, length);
    if (auto* listener = Self(self)->Listener())
        listener->OnFileDoneAt(record, Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnState(const void* payload, std::uint32_t length, void* self) {
    JobStateRecord record;
    if (!DecodeJobState(Bytes(payload), length, &record))
        return Self(self)->Malformed(kMsgJobState, length);
    if (auto* listener = Self(self)->Listener())
        listener->OnJobState(record, Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnLost(const void*, std::uint32_t, void* self) {
    if (auto* listener = Self(self)->Listener())
        listener->OnNetworkLost(Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnRestored(const void*, std::uint32_t, void* self) {
    if (auto* listener = Self(self)->Listener())
        listener->OnNetworkRestored(Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnFailed(const void* payload, std::uint32_t length, void* self) {
    JobFailed record;
    if (!DecodeJobFailed(Bytes(payload), length, &record))
        return Self(self)->Malformed(kMsgJobFailed, length);
    if (auto* listener = Self(self)->Listener())
        listener->OnJobFailed(record, Self(self)->ListenerValue());
}

void nwCCDNLocalClientLayer::OnResume(const void* payload, std::uint32_t length, void* self) {
    std::uint32_t jobKey = 0;
    if (!DecodeJobKey(Bytes(payload), length, &jobKey))
        return Self(self)->Malformed(kMsgResumeQuestion, length);
    if (auto* listener = Self(self)->Listener()) listener->OnResumeQuestion(jobKey);
}

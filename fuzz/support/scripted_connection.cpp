#include "fuzz/support/scripted_connection.h"

FuzzConnection::FuzzConnection(vzIUnknown* own, nwIQoSNetStack* stack) : own_(own), stack_(stack) {
    stack_->SetOwner(this);
}

FuzzConnection::~FuzzConnection() {
    Shutdown();
    stack_->SetOwner(nullptr);
}

vzStatus FuzzConnection::QueryInterface(std::uint32_t, void** out) {
    if (out) *out = nullptr;
    return kTransportFail;
}

void FuzzConnection::Connected() {
    if (!closed_) (void)stack_->OnConnected();  // one layer: nothing above to tell
}

bool FuzzConnection::Receive(std::string_view bytes) {
    if (closed_) return false;
    if (!receive_.Append(bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
        closedByInput_ = true;
        Shutdown();
        return false;
    }
    Deliver();
    if (closePosted_) Shutdown();
    return !closed_;
}

void FuzzConnection::Deliver() {
    if (receive_.Held() == 0) return;
    ++delivering_;
    const std::uint32_t held = receive_.Held();
    const std::int32_t consumed =
        stack_->OnReceive(receive_.Data(), static_cast<std::int32_t>(held));
    --delivering_;
    if (closed_) {
        receive_.Free();
        return;
    }
    if (consumed < 0 || static_cast<std::uint32_t>(consumed) > held) {
        closedByInput_ = true;
        Shutdown();
        return;
    }
    receive_.Consume(static_cast<std::uint32_t>(consumed));
    if (receive_.Held() >= kMaxUnconsumed) {
        closedByInput_ = true;
        Shutdown();
    }
}

void FuzzConnection::Shutdown() {
    if (closed_) return;
    closed_ = true;
    // The bytes stay readable for a delivery still on the stack, as in the
    // real connection.
    if (delivering_ == 0) receive_.Free();
    stack_->OnShutdown();
}

vzStatus FuzzConnection::Close() {
    Shutdown();
    return kTransportOk;
}

vzStatus FuzzConnection::PostClose() {
    // The real connection closes later from the message loop; here "later"
    // is once the current read has been delivered.
    closePosted_ = true;
    return kTransportOk;
}

vzStatus FuzzConnection::SetFlags(std::uint32_t flags) {
    flags_ = flags;
    return kTransportOk;
}

vzStatus FuzzConnection::AddFlags(std::uint32_t flags) {
    flags_ |= flags;
    return kTransportOk;
}

vzStatus FuzzConnection::RemoveFlags(std::uint32_t flags) {
    flags_ &= ~flags;
    return kTransportOk;
}

vzStatus FuzzConnection::GetState(int* state) {
    if (!state) return kTransportFail;
    *state = closed_ ? kStateClosed : kStateReady;
    return kTransportOk;
}

vzStatus FuzzConnection::SendFrom(nwIQoSNetStack*, const cpBuffer& buffer) {
    if (closed_) return kTransportFail;
    if (buffer.length > 0) sent_.append(static_cast<const char*>(buffer.data), buffer.length);
    return kTransportOk;
}

vzStatus FuzzConnection::GetReceiveRate(std::int64_t* rate) {
    if (rate) *rate = 0;
    return kTransportOk;
}

vzStatus FuzzConnection::GetSendRate(std::int64_t* rate) {
    if (rate) *rate = 0;
    return kTransportOk;
}

vzStatus FuzzConnection::GetQueuedBytes(std::uint32_t* count) {
    if (count) *count = 0;
    return kTransportOk;
}

#include "transport/cp_socket.h"

#include "service/base/status_codes.h"

namespace {

plat::SockAddrIn ToSockAddr(const cpSocketAddress& a) {
    plat::SockAddrIn s;
    s.portNet = plat::HostToNet16(a.port);
    s.addrNet = a.addressNet;
    return s;
}

}  // namespace

vzStatus cpMapWinsockError(int wsaError) {
    switch (wsaError) {
        case plat::kWsaEwouldblock:
            return kWouldBlock;
        case plat::kWsaEinprogress:
            return kBlockingInProgress;
        case plat::kWsaEalready:
            return kAlreadyInProgress;
        case plat::kWsaEnotsock:
            return kNotSocket;
        case plat::kWsaEnobufs:
            return kNoBufferSpace;
        case plat::kWsaEconnrefused:
            return kConnRefused;
        default:
            return kTransportFail;
    }
}

vzStatus cpLastSocketError() {
    return cpMapWinsockError(plat::WSAGetLastError());
}

vzStatus cpCreateSocketRecord(int kind, cpSocketRecord** out) {
    auto* record = new cpSocketRecord;
    record->kind = kind;
    record->handle =
        plat::CreateSocket(kind == 0 ? plat::SocketKind::kStream : plat::SocketKind::kDatagram);
    if (record->handle == plat::kInvalidSocket) {
        delete record;
        return kSocketCreateFail;
    }
    if (kind == 0 && plat::SetLinger(record->handle, true, 0) != 0) {
        vzStatus status = cpLastSocketError();
        cpDestroySocketRecord(record);
        return status;
    }
    *out = record;
    return kTransportOk;
}

void cpDestroySocketRecord(cpSocketRecord* record) {
    if (!record) return;
    if (record->handle != plat::kInvalidSocket) plat::CloseSocket(record->handle);
    delete record;
}

cpCSocket::~cpCSocket() {
    cpDestroySocketRecord(record_);
}

vzStatus cpCSocket::Create(int kind) {
    if (record_) return record_->handle == plat::kInvalidSocket ? kNotSocket : kSocketExists;
    return cpCreateSocketRecord(kind, &record_);
}

vzStatus cpCSocket::Connect(const cpSocketAddress& address) {
    if (!record_) return kSocketCreateFail;
    record_->peer = ToSockAddr(address);
    if (plat::Connect(record_->handle, record_->peer) == plat::kSocketError)
        return cpLastSocketError();
    return kTransportOk;
}

vzStatus cpCSocket::Close() {
    cpDestroySocketRecord(record_);
    record_ = nullptr;
    return kTransportOk;
}

vzStatus cpCSocket::Send(const void* data, int length, int* sent) {
    if (!record_) return kSocketCreateFail;
    int n = plat::Send(record_->handle, data, length);
    if (sent) *sent = n;
    return n < 0 ? cpLastSocketError() : kTransportOk;
}

vzStatus cpCSocket::Receive(void* buffer, int size, int* received) {
    if (!record_) return kSocketCreateFail;
    int n = plat::Recv(record_->handle, buffer, size);
    if (received) *received = n;
    // An orderly close (0 bytes) counts as a failure too, as Receive reports it.
    return n <= 0 ? (n == 0 ? kTransportFail : cpLastSocketError()) : kTransportOk;
}

vzStatus cpCSocket::Bind(const cpSocketAddress& address) {
    if (!record_) return kSocketCreateFail;
    plat::SetReuseAddress(record_->handle, true);
    plat::SockAddrIn at = ToSockAddr(address);
    if (plat::Bind(record_->handle, at) == plat::kSocketError) return cpLastSocketError();
    return kTransportOk;
}

vzStatus cpCSocket::Listen() {
    if (!record_) return kSocketCreateFail;
    if (plat::Listen(record_->handle, 5) == plat::kSocketError) return cpLastSocketError();
    return kTransportOk;
}

vzStatus cpCSocket::Accept(cpSocketRecord** newRecord, cpSocketAddress* peer) {
    if (newRecord) *newRecord = nullptr;
    if (!record_) return kSocketCreateFail;
    auto* accepted = new cpSocketRecord;
    plat::SockAddrIn from;
    accepted->handle = plat::Accept(record_->handle, &from);
    if (accepted->handle == plat::kInvalidSocket) {
        vzStatus status = cpLastSocketError();
        delete accepted;
        return status;
    }
    if (plat::SetLinger(accepted->handle, true, 0) != 0 ||
        plat::GetPeerName(accepted->handle, &from) != 0) {
        vzStatus status = cpLastSocketError();
        cpDestroySocketRecord(accepted);
        return status;
    }
    accepted->peer = from;
    if (peer) {
        peer->addressNet = from.addrNet;
        peer->port = plat::NetToHost16(from.portNet);
    }
    if (newRecord)
        *newRecord = accepted;
    else
        cpDestroySocketRecord(accepted);
    return kTransportOk;
}

vzStatus cpCSocket::SendTo(const void* data, int length, const cpSocketAddress& address,
                           int* sent) {
    if (!record_) return kSocketCreateFail;
    int n = plat::SendTo(record_->handle, data, length, ToSockAddr(address));
    if (sent) *sent = n;
    return n < 0 ? cpLastSocketError() : kTransportOk;
}

vzStatus cpCSocket::SetOption(int option) {
    if (!record_ || option != 0) return kTransportFail;
    if (plat::SetBroadcast(record_->handle, true) != 0) return cpLastSocketError();
    return kTransportOk;
}

vzStatus cpCSocket::ReceiveFrom(void* buffer, int size, cpSocketAddress* from, int* received) {
    if (!record_) return kSocketCreateFail;
    plat::SockAddrIn sender;
    int n = plat::RecvFrom(record_->handle, buffer, size, &sender);
    if (received) *received = n;
    if (n < 0) return cpLastSocketError();
    if (from) {
        from->addressNet = sender.addrNet;
        from->port = plat::NetToHost16(sender.portNet);
    }
    return kTransportOk;
}

// The socket record shared by the socket wrapper, the connection table and
// the connection context, and cpCSocket, a general socket wrapper (the
// service's own connections use the connection context instead).
#pragma once

#include <cstdint>

#include "platform/sockets.h"
#include "service/base/vz_unknown.h"

struct cpWindowRecord {
    plat::Hwnd hwnd = nullptr;
};

struct cpSocketRecord {
    plat::Socket handle = plat::kInvalidSocket;
    int kind = 0;  // 0 stream (TCP), 1 datagram (UDP)
    plat::SockAddrIn peer{};
    int addressLength = 0;
    unsigned long nonBlocking = 0;
    // The connection-table slot; -1 while not registered, so that a record
    // that was never registered can never release somebody else's slot.
    int slot = -1;
    cpWindowRecord* window = nullptr;
};

// A socket address as the service passes it: IPv4 address in network byte
// order, port in host byte order.
struct cpSocketAddress {
    std::uint32_t addressNet = 0;
    std::uint16_t port = 0;
};

// Maps a Winsock error number to the transport's status code.
vzStatus cpMapWinsockError(int wsaError);
// The mapped status of the calling thread's last socket error.
vzStatus cpLastSocketError();

// Creates the record and the socket: kind 0 is TCP with an abortive close
// (linger on, time-out 0), kind 1 UDP. On success stores the record in *out.
vzStatus cpCreateSocketRecord(int kind, cpSocketRecord** out);
// Closes the socket (if any) and frees the record.
void cpDestroySocketRecord(cpSocketRecord* record);

class cpCSocket : public vzCRefCounted<vzIUnknown> {
public:
    ~cpCSocket() override;

    virtual vzStatus Create(int kind);
    virtual vzStatus Connect(const cpSocketAddress& address);
    virtual vzStatus Close();
    virtual vzStatus Send(const void* data, int length, int* sent);
    virtual vzStatus Receive(void* buffer, int size, int* received);
    virtual vzStatus Nop() { return kTransportOk; }
    virtual vzStatus Bind(const cpSocketAddress& address);
    virtual vzStatus Listen();
    virtual vzStatus Accept(cpSocketRecord** newRecord, cpSocketAddress* peer);
    virtual vzStatus SendTo(const void* data, int length, const cpSocketAddress& address,
                            int* sent);
    virtual vzStatus SetOption(int option);
    virtual vzStatus ReceiveFrom(void* buffer, int size, cpSocketAddress* from, int* received);

    cpSocketRecord* Record() const { return record_; }

private:
    cpSocketRecord* record_ = nullptr;
};

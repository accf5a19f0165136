#include "platform/detail/wsa_errors.h"

#include <cerrno>

#include "platform/sockets.h"

namespace plat::detail {

int WsaErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return kWsaEintr;
        case EBADF:
            return kWsaEnotsock;
        case ENOTSOCK:
            return kWsaEnotsock;
        case EACCES:
        case EPERM:
            return kWsaEacces;
        case EFAULT:
            return kWsaEfault;
        case EINVAL:
            return kWsaEinval;
        case EMFILE:
        case ENFILE:
            return kWsaEmfile;
        case EAGAIN:
            return kWsaEwouldblock;
        case EINPROGRESS:
            return kWsaEwouldblock;  // a non-blocking connect under way
        case EALREADY:
            return kWsaEalready;
        case EMSGSIZE:
            return kWsaEmsgsize;
        case EOPNOTSUPP:
            return kWsaEopnotsupp;
        case EAFNOSUPPORT:
            return kWsaEafnosupport;
        case EADDRINUSE:
            return kWsaEaddrinuse;
        case EADDRNOTAVAIL:
            return kWsaEaddrnotavail;
        case ENETDOWN:
            return kWsaEnetdown;
        case ENETUNREACH:
            return kWsaEnetunreach;
        case ECONNABORTED:
            return kWsaEconnaborted;
        case ECONNRESET:
        case EPIPE:
            return kWsaEconnreset;
        case ENOBUFS:
        case ENOMEM:
            return kWsaEnobufs;
        case EISCONN:
            return kWsaEisconn;
        case ENOTCONN:
            return kWsaEnotconn;
        case ESHUTDOWN:
            return kWsaEshutdown;
        case ETIMEDOUT:
            return kWsaEtimedout;
        case ECONNREFUSED:
            return kWsaEconnrefused;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return kWsaEhostunreach;
        default:
            return kWsaEinval;
    }
}

}  // namespace plat::detail

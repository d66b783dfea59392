#include "platform/netsys.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/winsystem.h"

namespace {

// A Winsock code as the errno value of the same meaning; a code without one stays as it is.
int toErrno(int code) {
    switch (code) {
    case 0: return 0;
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY: return EALREADY;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAENETDOWN: return ENETDOWN;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAENOTCONN: return ENOTCONN;
    case WSAESHUTDOWN: return EPIPE;
    case WSAEINTR: return EINTR;
    case WSAEMFILE: return EMFILE;
    case WSAENOBUFS: return ENOBUFS;
    default: return code;
    }
}

// The words of errno values that the C library's strerror does not know on Windows.
const char* errnoText(int code) {
    switch (code) {
    case ECONNREFUSED: return "Connection refused";
    case ETIMEDOUT: return "Connection timed out";
    case ECONNRESET: return "Connection reset by peer";
    case ECONNABORTED: return "Software caused connection abort";
    case EHOSTUNREACH: return "No route to host";
    case ENETUNREACH: return "Network is unreachable";
    case ENETDOWN: return "Network is down";
    case EADDRNOTAVAIL: return "Cannot assign requested address";
    case EAFNOSUPPORT: return "Address family not supported by protocol";
    case ENOTCONN: return "Transport endpoint is not connected";
    case EINPROGRESS: return "Operation now in progress";
    case EALREADY: return "Operation already in progress";
    case ENOBUFS: return "No buffer space available";
    case EPIPE: return "Broken pipe";
    default: return nullptr;
    }
}

SOCKET sock(netsys::TSock s) { return static_cast<SOCKET>(s); }

}  // namespace

namespace netsys {

int resolveFailCode() { return EAI_FAIL; }

std::string resolveErrorText(int code) { return systemText(static_cast<DWORD>(code)); }

TSock openStream(int family, int& err) {
    startWinsock();
    SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        err = lastError();
        return noSocket;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    // Each command waits for a short answer: never hold a small send back.
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<TSock>(s);
}

int startConnect(TSock s, const TSocketAddress& a) {
    if (::connect(sock(s), reinterpret_cast<const sockaddr*>(a.addr), static_cast<int>(a.len)) == 0) return 0;
    const int err = lastError();
    return err == EAGAIN ? EINPROGRESS : err;  // a non-blocking connect under way: WSAEWOULDBLOCK
}

void closeSocket(TSock s) {
    if (s >= 0) ::closesocket(sock(s));
}

long long sendSome(TSock s, const char* bytes, size_t count, int& err) {
    const int chunk = count > (1u << 30) ? (1 << 30) : static_cast<int>(count);
    const int n = ::send(sock(s), bytes, chunk, 0);
    if (n != SOCKET_ERROR) return n;
    err = lastError();
    return -1;
}

long long receiveSome(TSock s, char* buffer, size_t size, int& err) {
    const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    const int n = ::recv(sock(s), buffer, chunk, 0);
    if (n != SOCKET_ERROR) return n;
    err = lastError();
    return -1;
}

int bytesWaiting(TSock s) {
    u_long waiting = 0;
    return ioctlsocket(sock(s), FIONREAD, &waiting) == 0 ? static_cast<int>(waiting) : 0;
}

int pendingError(TSock s) {
    int err = 0;
    int len = sizeof err;
    if (getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return lastError();
    return toErrno(err);
}

int waitFor(TSock s, int events, int ms, int& found) {
    found = 0;
    if (s < 0) {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return 0;
    }
    WSAPOLLFD p{};
    p.fd = sock(s);
    p.events = static_cast<SHORT>(((events & waitIn) ? POLLRDNORM : 0) | ((events & waitOut) ? POLLWRNORM : 0));
    const int r = WSAPoll(&p, 1, ms);
    if (r > 0) {
        if (p.revents & POLLRDNORM) found |= waitIn;
        if (p.revents & POLLWRNORM) found |= waitOut;
        if (p.revents & (POLLERR | POLLNVAL)) found |= foundErr;
        if (p.revents & POLLHUP) found |= foundHup;
    }
    return r == SOCKET_ERROR ? -1 : r;
}

int lastError() { return toErrno(WSAGetLastError()); }

}  // namespace netsys

int systemResolver(const std::string& host, int port, std::vector<TSocketAddress>& found) {
    startWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) return rc;
    for (addrinfo* a = list; a; a = a->ai_next) {
        TSocketAddress addr;
        if (a->ai_addrlen > sizeof addr.addr) continue;
        std::memcpy(&addr.addr, a->ai_addr, a->ai_addrlen);
        addr.len = static_cast<unsigned>(a->ai_addrlen);
        addr.family = a->ai_family;
        found.push_back(addr);
    }
    freeaddrinfo(list);
    return 0;
}

std::string socketErrorText(int code) {
    if (const char* text = errnoText(code)) return text;
    if (code >= WSABASEERR) return systemText(static_cast<DWORD>(code));
    return std::strerror(code);
}

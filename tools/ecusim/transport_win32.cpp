#include "transport.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <timeapi.h>

#include <algorithm>
#include <climits>

#include "platform/winsystem.h"

namespace ecusim {

namespace {

SOCKET sock(TSysFd fd) { return static_cast<SOCKET>(fd); }

std::string errorText(const std::string& what) { return what + ": " + systemText(WSAGetLastError()); }

void setNonBlocking(TSysFd fd) {
    u_long yes = 1;
    ::ioctlsocket(sock(fd), FIONBIO, &yes);
}

TSysFd openSocket(int family, int type, int protocol) {
    const SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? -1 : static_cast<TSysFd>(s);
}

std::string addressText(const sockaddr* sa, int& port) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (sa->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    } else if (sa->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    return host;
}

}  // namespace

void TFd::reset(TSysFd fd) {
    if (fd_ >= 0) ::closesocket(sock(fd_));
    fd_ = fd;
}

TTcpListener::TTcpListener(const std::string& host, int port) {
    startWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
        throw ETransportError("cannot resolve " + host + ": " + systemText(static_cast<DWORD>(rc)));
    std::string lastError = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        TFd s(openSocket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!s) {
            lastError = errorText("socket");
            continue;
        }
        // Windows' SO_REUSEADDR would let another program take the port away; the exclusive
        // use is what a POSIX listener has by default.
        const BOOL yes = TRUE;
        ::setsockopt(sock(s.get()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
        if (::bind(sock(s.get()), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 ||
            ::listen(sock(s.get()), 8) != 0) {
            lastError = errorText("cannot listen on " + host + ":" + service);
            continue;
        }
        sockaddr_storage bound{};
        int len = sizeof bound;
        ::getsockname(sock(s.get()), reinterpret_cast<sockaddr*>(&bound), &len);
        boundHost = addressText(reinterpret_cast<sockaddr*>(&bound), boundPort);
        setNonBlocking(s.get());
        socket = std::move(s);
        break;
    }
    ::freeaddrinfo(found);
    if (!socket) throw ETransportError(lastError);
}

TFd TTcpListener::accept(std::string& peer) {
    sockaddr_storage from{};
    int len = sizeof from;
    const SOCKET s = ::accept(sock(socket.get()), reinterpret_cast<sockaddr*>(&from), &len);
    if (s == INVALID_SOCKET) return TFd();
    TFd client(static_cast<TSysFd>(s));
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    setNonBlocking(client.get());
    // Replies are a byte or a line that the tool waits for; they must not sit in a buffer.
    const BOOL yes = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    int peerPort = 0;
    const std::string peerHost = addressText(reinterpret_cast<sockaddr*>(&from), peerPort);
    peer = (from.ss_family == AF_INET6 ? "[" + peerHost + "]" : peerHost) + ":" + std::to_string(peerPort);
    return client;
}

bool havePseudoTerminals() { return false; }

// Never made on Windows: the options refuse --pty there.
TPty::TPty(int, const std::string&) {
    throw ETransportError("pseudo-terminals are not available on this system");
}
TPty::~TPty() = default;
int TPty::toolSendRate() const { return 0; }
int TPty::toolReceiveRate() const { return 0; }
std::string TPty::toolFraming() const { return {}; }

namespace {

// The stop line is a loopback UDP socket that receives a datagram from the console's handler
// (which Windows runs on a thread of its own); WSAPoll waits on sockets only.
SOCKET stopSender = INVALID_SOCKET;
sockaddr_in stopAddress{};

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (stopSender != INVALID_SOCKET) {
            const char byte = 's';
            ::sendto(stopSender, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&stopAddress), sizeof stopAddress);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

TStopLine::TStopLine() {
    startWinsock();
    readEnd.reset(openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    writeEnd.reset(openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!readEnd || !writeEnd) throw ETransportError(errorText("socket"));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof address;
    if (::bind(sock(readEnd.get()), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(sock(readEnd.get()), reinterpret_cast<sockaddr*>(&address), &len) != 0)
        throw ETransportError(errorText("cannot bind the stop socket"));
    setNonBlocking(readEnd.get());
    stopAddress = address;
    stopSender = sock(writeEnd.get());
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

TStopLine::~TStopLine() {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    stopSender = INVALID_SOCKET;
}

int waitLine(TSysFd line, bool out, TSysFd stop, int64_t timeoutNs) {
    WSAPOLLFD p[2] = {};
    ULONG count = 0;
    int lineAt = -1;
    if (line >= 0) {
        lineAt = static_cast<int>(count);
        p[count++] = {sock(line), static_cast<SHORT>(out ? POLLOUT : POLLIN), 0};
    }
    const int stopAt = static_cast<int>(count);
    p[count++] = {sock(stop), POLLIN, 0};
    // WSAPoll counts in milliseconds: a wait is rounded up, so that it never ends early.
    constexpr int64_t nsPerMs = 1000000;
    const int ms = timeoutNs < 0 ? -1 : static_cast<int>((timeoutNs + nsPerMs - 1) / nsPerMs);
    if (::WSAPoll(p, count, ms) == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : -1;
    return (lineAt >= 0 && p[lineAt].revents ? lineReady : 0) | (p[stopAt].revents ? stopReady : 0);
}

namespace {

long long lineError() {
    switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK:
    case WSAEINTR:
        return lineNothingNow;
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return lineReset;
    default:
        return lineFailed;
    }
}

}  // namespace

long long lineRead(TSysFd fd, bool, char* buffer, size_t size) {
    const int n = ::recv(sock(fd), buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    return n == SOCKET_ERROR ? lineError() : n;
}

long long lineWrite(TSysFd fd, bool, const char* bytes, size_t size) {
    const int n = ::send(sock(fd), bytes, static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    return n == SOCKET_ERROR ? lineError() : n;
}

void askPreciseTimers() {
    // The system's timer runs at 1 ms for the rest of the process (the default is 15.6 ms).
    ::timeBeginPeriod(1);
}

}  // namespace ecusim

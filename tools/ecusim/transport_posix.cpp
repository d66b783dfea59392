#include "transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ecusim {

void TFd::reset(TSysFd fd) {
    if (fd_ >= 0) ::close(static_cast<int>(fd_));
    fd_ = fd;
}

namespace {

std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

void setNonBlocking(TSysFd fd) {
    const int flags = ::fcntl(static_cast<int>(fd), F_GETFL);
    if (flags >= 0) ::fcntl(static_cast<int>(fd), F_SETFL, flags | O_NONBLOCK);
}

int fdOf(TSysFd fd) { return static_cast<int>(fd); }

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

struct TSpeed {
    speed_t speed;
    int rate;
};
const TSpeed speeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000},
};

}  // namespace

int speedToRate(unsigned speed) {
    for (const auto& s : speeds)
        if (s.speed == speed) return s.rate;
    return 0;
}

std::optional<unsigned> rateToSpeed(int rate) {
    for (const auto& s : speeds)
        if (s.rate == rate) return s.speed;
    return std::nullopt;
}

TTcpListener::TTcpListener(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
        throw ETransportError("cannot resolve " + host + ": " + ::gai_strerror(rc));
    std::string lastError = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        TFd s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!s) {
            lastError = errorText("socket");
            continue;
        }
        const int yes = 1;
        ::setsockopt(fdOf(s.get()), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fdOf(s.get()), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fdOf(s.get()), 8) != 0) {
            lastError = errorText("cannot listen on " + host + ":" + service);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fdOf(s.get()), reinterpret_cast<sockaddr*>(&bound), &len);
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
    socklen_t len = sizeof from;
    TFd client(::accept4(fdOf(socket.get()), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) return client;
    // Replies are a byte or a line that the tool waits for; they must not sit in a buffer.
    const int yes = 1;
    ::setsockopt(fdOf(client.get()), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    int peerPort = 0;
    const std::string peerHost = addressText(reinterpret_cast<sockaddr*>(&from), peerPort);
    peer = (from.ss_family == AF_INET6 ? "[" + peerHost + "]" : peerHost) + ":" + std::to_string(peerPort);
    return client;
}

TPty::TPty(int rate, const std::string& link) {
    master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master) throw ETransportError(errorText("posix_openpt"));
    if (::grantpt(fdOf(master.get())) != 0 || ::unlockpt(fdOf(master.get())) != 0)
        throw ETransportError(errorText("unlockpt"));
    char name[256];
    if (::ptsname_r(fdOf(master.get()), name, sizeof name) != 0) throw ETransportError(errorText("ptsname"));
    slavePath = name;
    slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave) throw ETransportError(errorText("cannot open " + slavePath));
    // A raw 8N1 line, as a UART; the tool sets its own rate and mode when it opens the port.
    termios t{};
    if (::tcgetattr(fdOf(slave.get()), &t) != 0) throw ETransportError(errorText("tcgetattr " + slavePath));
    ::cfmakeraw(&t);
    const speed_t speed = rateToSpeed(rate).value_or(B9600);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fdOf(slave.get()), TCSANOW, &t) != 0) throw ETransportError(errorText("tcsetattr " + slavePath));
    setNonBlocking(master.get());
    if (!link.empty()) {
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) throw ETransportError(link + " exists and is not a symbolic link");
            ::unlink(link.c_str());
        }
        if (::symlink(slavePath.c_str(), link.c_str()) != 0) throw ETransportError(errorText("cannot link " + link));
        linkPath = link;
    }
}

TPty::~TPty() {
    if (!linkPath.empty()) {
        // Only our own link goes: it still points at this terminal.
        char target[256];
        const ssize_t n = ::readlink(linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, n) == slavePath) ::unlink(linkPath.c_str());
    }
}

int TPty::toolSendRate() const {
    termios t{};
    if (::tcgetattr(fdOf(slave.get()), &t) != 0) return 0;
    return speedToRate(::cfgetospeed(&t));
}

std::string TPty::toolFraming() const {
    termios t{};
    if (::tcgetattr(fdOf(slave.get()), &t) != 0) return {};
    const tcflag_t size = t.c_cflag & CSIZE;
    const char bits = size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8';
    const char parity = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    return {bits, parity, (t.c_cflag & CSTOPB) ? '2' : '1'};
}

int TPty::toolReceiveRate() const {
    termios t{};
    if (::tcgetattr(fdOf(slave.get()), &t) != 0) return 0;
    // An input speed of 0 means "the same as the output speed".
    const speed_t in = ::cfgetispeed(&t);
    return speedToRate(in == B0 ? ::cfgetospeed(&t) : in);
}

bool havePseudoTerminals() { return true; }

namespace {

// The write end of the stop pipe; a signal handler can only reach it through a plain static.
int stopPipeWrite = -1;

void onStopSignal(int) {
    const char byte = 's';
    [[maybe_unused]] ssize_t n = ::write(stopPipeWrite, &byte, 1);
}

}  // namespace

TStopLine::TStopLine() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw ETransportError(errorText("pipe"));
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    stopPipeWrite = fds[1];
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

TStopLine::~TStopLine() { stopPipeWrite = -1; }

int waitLine(TSysFd line, bool out, TSysFd stop, int64_t timeoutNs) {
    pollfd p[2] = {{fdOf(line), static_cast<short>(out ? POLLOUT : POLLIN), 0}, {fdOf(stop), POLLIN, 0}};
    timespec wait{static_cast<time_t>(timeoutNs / 1000000000), static_cast<long>(timeoutNs % 1000000000)};
    if (::ppoll(p, 2, timeoutNs < 0 ? nullptr : &wait, nullptr) < 0) return errno == EINTR ? 0 : -1;
    return (p[0].revents ? lineReady : 0) | (p[1].revents ? stopReady : 0);
}

long long lineRead(TSysFd fd, bool, char* buffer, size_t size) {
    const ssize_t n = ::read(fdOf(fd), buffer, size);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return lineNothingNow;
    return errno == ECONNRESET ? lineReset : lineFailed;
}

long long lineWrite(TSysFd fd, bool pty, const char* bytes, size_t size) {
    const ssize_t n = pty ? ::write(fdOf(fd), bytes, size) : ::send(fdOf(fd), bytes, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return lineNothingNow;
    return errno == ECONNRESET ? lineReset : lineFailed;
}

void askPreciseTimers() {
    // The default slack of the kernel's timers would make every wake-up late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace ecusim

#include "transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/convert.h"

namespace ecusim {

void TFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace {

std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

void setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
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

std::pair<std::string, int> splitHostPort(const std::string& text) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            throw ETransportError("'" + text + "' is not [ADDRESS]:PORT");
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            throw ETransportError("'" + text + "' is not HOST:PORT");
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    int p = -1;
    try {
        p = strToInt(port);
    } catch (const EConvertError&) {
    }
    if (host.empty() || p < 0 || p > 65535) throw ETransportError("'" + text + "' is not HOST:PORT (port 0..65535)");
    return {host, p};
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
        ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(s.get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(s.get(), 8) != 0) {
            lastError = errorText("cannot listen on " + host + ":" + service);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&bound), &len);
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
    TFd client(::accept4(socket.get(), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) return client;
    // Replies are a byte or a line that the tool waits for; they must not sit in a buffer.
    const int yes = 1;
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    int peerPort = 0;
    const std::string peerHost = addressText(reinterpret_cast<sockaddr*>(&from), peerPort);
    peer = (from.ss_family == AF_INET6 ? "[" + peerHost + "]" : peerHost) + ":" + std::to_string(peerPort);
    return client;
}

TPty::TPty(int rate, const std::string& link) {
    master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master) throw ETransportError(errorText("posix_openpt"));
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        throw ETransportError(errorText("unlockpt"));
    char name[256];
    if (::ptsname_r(master.get(), name, sizeof name) != 0) throw ETransportError(errorText("ptsname"));
    slavePath = name;
    slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave) throw ETransportError(errorText("cannot open " + slavePath));
    // A raw 8N1 line, as a UART; the tool sets its own rate and mode when it opens the port.
    termios t{};
    if (::tcgetattr(slave.get(), &t) != 0) throw ETransportError(errorText("tcgetattr " + slavePath));
    ::cfmakeraw(&t);
    const speed_t speed = rateToSpeed(rate).value_or(B9600);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(slave.get(), TCSANOW, &t) != 0) throw ETransportError(errorText("tcsetattr " + slavePath));
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
    if (::tcgetattr(slave.get(), &t) != 0) return 0;
    return speedToRate(::cfgetospeed(&t));
}

std::string TPty::toolFraming() const {
    termios t{};
    if (::tcgetattr(slave.get(), &t) != 0) return {};
    const tcflag_t size = t.c_cflag & CSIZE;
    const char bits = size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8';
    const char parity = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    return {bits, parity, (t.c_cflag & CSTOPB) ? '2' : '1'};
}

int TPty::toolReceiveRate() const {
    termios t{};
    if (::tcgetattr(slave.get(), &t) != 0) return 0;
    // An input speed of 0 means "the same as the output speed".
    const speed_t in = ::cfgetispeed(&t);
    return speedToRate(in == B0 ? ::cfgetospeed(&t) : in);
}

}  // namespace ecusim

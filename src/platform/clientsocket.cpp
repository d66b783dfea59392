#include "platform/clientsocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// How often open hands the caller's thread to OnWait while the look-up runs.
constexpr int lookUpSliceMs = 25;

// A look-up on its thread; the thread keeps it alive after an open that gave up on it.
struct TLookUp {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int rc = 0;
    std::vector<TSocketAddress> found;
};

// Milliseconds until `t`, rounded up, 0 once it passed, -1 for no deadline at all.
int msUntil(std::chrono::steady_clock::time_point t) {
    using namespace std::chrono;
    if (t == steady_clock::time_point::max()) return -1;
    const auto left = ceil<milliseconds>(t - steady_clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

int systemResolver(const std::string& host, int port, std::vector<TSocketAddress>& found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) return rc;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        TSocketAddress addr;
        std::memcpy(&addr.addr, a->ai_addr, a->ai_addrlen);
        addr.len = a->ai_addrlen;
        addr.family = a->ai_family;
        found.push_back(addr);
    }
    freeaddrinfo(list);
    return 0;
}

TClientSocket::~TClientSocket() {
    Lock lock(mutex);
    if (state == State::Connected) flushPending();
    closeDescriptor();
}

std::string TClientSocket::getHost() const {
    Lock lock(mutex);
    return host;
}

void TClientSocket::setHost(const std::string& h) {
    Lock lock(mutex);
    if (state == State::Connected && h != host)
        throw ESocketError("Cannot change the host to " + h + " while connected to " + host);
    host = h;
}

int TClientSocket::getPort() const {
    Lock lock(mutex);
    return port;
}

void TClientSocket::setPort(int p) {
    Lock lock(mutex);
    if (state == State::Connected && p != port)
        throw ESocketError("Cannot change the port to " + std::to_string(p) +
                           " while connected to port " + std::to_string(port));
    port = p;
}

TClientType TClientSocket::getClientType() const {
    Lock lock(mutex);
    return clientType;
}

void TClientSocket::setClientType(TClientType type) {
    Lock lock(mutex);
    clientType = type;
}

bool TClientSocket::getActive() const {
    Lock lock(mutex);
    return state == State::Connected;
}

int TClientSocket::handle() const {
    Lock lock(mutex);
    return fd;
}

size_t TClientSocket::sendCalls() const {
    Lock lock(mutex);
    return sends;
}

void TClientSocket::setConnectLimit(int ms) {
    Lock lock(mutex);
    connectLimitMs = std::max(ms, 0);
}

void TClientSocket::open() {
    std::unique_lock<std::recursive_mutex> lock(mutex);
    if (state == State::Resolving || state == State::Connecting || state == State::Connected) return;
    if (host.empty()) throw ESocketError("No host to connect to");
    if (port < 1 || port > 65535)
        throw ESocketError(std::to_string(port) + " is not a TCP port number");

    deadline = connectLimitMs > 0 ? Clock::now() + std::chrono::milliseconds(connectLimitMs) : Clock::time_point::max();
    // A name server that does not answer would hold the caller (the app's window) for as long as
    // the resolver's own time-outs: the look-up runs on a thread of its own.
    state = State::Resolving;
    const std::string name = host;
    auto job = std::make_shared<TLookUp>();
    std::thread([job, resolve = resolver, name, p = port] {
        std::vector<TSocketAddress> found;
        const int rc = resolve ? resolve(name, p, found) : EAI_FAIL;
        std::lock_guard<std::mutex> jobLock(job->mutex);
        job->rc = rc;
        job->found = std::move(found);
        job->done = true;
        job->ended.notify_all();
    }).detach();
    lock.unlock();
    bool ended = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> jobLock(job->mutex);
            const int left = msUntil(deadline);
            const int slice = left < 0 ? lookUpSliceMs : std::min(left, lookUpSliceMs);
            ended = job->ended.wait_for(jobLock, std::chrono::milliseconds(slice), [&] { return job->done; });
        }
        if (ended || msUntil(deadline) == 0) break;
        if (OnWait) {
            const auto wait = OnWait;
            wait();
        }
    }
    lock.lock();
    if (state != State::Resolving) return;  // closed while it waited
    state = State::Idle;
    if (!ended)
        throw ESocketError("Cannot find the host " + name + ": no answer within " +
                               (connectLimitMs % 1000 == 0 ? std::to_string(connectLimitMs / 1000) + " s"
                                                           : std::to_string(connectLimitMs) + " ms"),
                           ETIMEDOUT);
    std::lock_guard<std::mutex> jobLock(job->mutex);
    if (job->rc != 0) throw ESocketError("Cannot find the host " + name + ": " + gai_strerror(job->rc), job->rc);
    addresses = job->found;

    pending.clear();
    failCode = 0;
    startNextAddress();

    if (clientType == TClientType::Blocking) {
        while (state == State::Connecting || state == State::Failed) {
            if (state == State::Connecting) waitForEvent(-1);
            processPendingEvents();
        }
    }
}

void TClientSocket::startNextAddress() {
    while (!addresses.empty()) {
        const Address a = addresses.front();
        addresses.erase(addresses.begin());
        // This address's share of what is left; the last one has all of it.
        attemptDeadline = deadline == Clock::time_point::max()
                              ? deadline
                              : Clock::now() + (deadline - Clock::now()) / static_cast<int>(addresses.size() + 1);
        fd = ::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            failCode = errno;
            continue;
        }
        // Each command waits for a short answer: never hold a small send back.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.addr), a.len) == 0 ||
            errno == EINPROGRESS || errno == EINTR) {
            state = State::Connecting;  // the outcome shows as writability
            return;
        }
        failCode = errno;
        ::close(fd);
        fd = -1;
    }
    state = State::Failed;
    if (failCode == 0) failCode = EHOSTUNREACH;
}

bool TClientSocket::attemptTimedOut() const {
    return attemptDeadline != Clock::time_point::max() && Clock::now() >= attemptDeadline;
}

void TClientSocket::closeDescriptor() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    state = State::Idle;
}

bool TClientSocket::flushPending() {
    while (!pending.empty()) {
        ++sends;
        const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (n > 0) {
            pending.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            failCode = n < 0 ? errno : EPIPE;
            return false;
        }
    }
    return true;
}

void TClientSocket::raise(const std::function<void()>& handler) {
    if (handler) {
        const auto h = handler;  // a handler may replace itself
        h();
    }
}

void TClientSocket::fail(int code, bool wasConnected) {
    closeDescriptor();
    addresses.clear();
    pending.clear();
    int left = code;
    if (OnError) {
        const auto h = OnError;
        h(left);
    }
    if (wasConnected) raise(OnDisconnect);
    if (left != 0) throw ESocketError("Socket error " + std::to_string(left) + ": " + std::strerror(left), left);
}

void TClientSocket::close() {
    Lock lock(mutex);
    if (state == State::Idle && fd < 0) return;
    if (state == State::Connected) flushPending();  // one last try for what is still queued
    closeDescriptor();
    addresses.clear();
    pending.clear();
    raise(OnDisconnect);
}

size_t TClientSocket::sendBuf(const void* bytes, size_t count) {
    Lock lock(mutex);
    if (state != State::Connected || count == 0) return 0;
    pending.append(static_cast<const char*>(bytes), count);
    if (!flushPending()) {
        fail(failCode, true);
        return 0;
    }
    return count;
}

int TClientSocket::receiveLength() {
    Lock lock(mutex);
    if (fd < 0) return 0;
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return 0;
    return waiting;
}

std::string TClientSocket::receiveText() {
    Lock lock(mutex);
    const int waiting = receiveLength();
    if (waiting <= 0) return {};
    std::string text(static_cast<size_t>(waiting), '\0');
    ssize_t n;
    do {
        n = ::recv(fd, text.data(), text.size(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

void TClientSocket::processPendingEvents() {
    Lock lock(mutex);
    switch (state) {
    case State::Idle:
    case State::Resolving:
        return;
    case State::Failed:
        fail(failCode, false);
        return;
    case State::Connecting: {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        if (poll(&p, 1, 0) <= 0) {
            // No answer yet: once this address's share is used up, on to the next one (an
            // address that drops the request silently would otherwise use the whole limit).
            if (!attemptTimedOut()) return;
            err = ETIMEDOUT;
        } else {
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
        if (err == 0) {
            state = State::Connected;
            addresses.clear();
            raise(OnConnect);
            return;
        }
        // This address did not answer: try the next one (an IPv6 and an IPv4 address of the
        // same name, say) before reporting the failure.
        failCode = err;
        closeDescriptor();
        startNextAddress();
        if (state == State::Failed) fail(failCode, false);
        return;
    }
    case State::Connected: {
        pollfd p{fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, 0) <= 0) return;
        if ((p.revents & POLLOUT) && !flushPending()) {
            fail(failCode, true);
            return;
        }
        // Data first: what arrived before an end or an error is still handed over.
        if (receiveLength() > 0) {
            raise(OnRead);
            return;
        }
        if (p.revents & POLLERR) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            fail(err ? err : ECONNRESET, true);
            return;
        }
        if (p.revents & (POLLIN | POLLHUP)) {  // readable with nothing to read: the peer closed
            closeDescriptor();
            pending.clear();
            raise(OnDisconnect);
        }
        return;
    }
    }
}

bool TClientSocket::waitForEvent(int ms) {
    pollfd p{};
    bool shareEnds = false;  // the wait ends with the share of the address being tried
    {
        Lock lock(mutex);
        if (state == State::Failed) return true;
        if (fd >= 0) {
            p.fd = fd;
            p.events = state == State::Connecting
                           ? POLLOUT
                           : static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT));
            if (state == State::Connecting) {
                // The end of this address's share is something to process too.
                if (attemptTimedOut()) return true;
                const int left = msUntil(attemptDeadline);
                if (left >= 0 && (ms < 0 || left <= ms)) {
                    ms = left;
                    shareEnds = true;
                }
            }
        } else {
            if (ms < 0) return false;  // nothing could ever end an endless wait
            p.fd = -1;                 // nothing to wait on: poll only sleeps
        }
    }
    const int r = poll(p.fd >= 0 ? &p : nullptr, p.fd >= 0 ? 1 : 0, ms);
    return r > 0 || (r == 0 && shareEnds);
}

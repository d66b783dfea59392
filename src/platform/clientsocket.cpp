#include "platform/clientsocket.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/netsys.h"

using Lock = std::lock_guard<std::recursive_mutex>;
using namespace netsys;

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
    return static_cast<int>(fd);
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
        const int rc = resolve ? resolve(name, p, found) : resolveFailCode();
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
    if (job->rc != 0) throw ESocketError("Cannot find the host " + name + ": " + resolveErrorText(job->rc), job->rc);
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
        fd = openStream(a.family, failCode);
        if (fd < 0) continue;
        const int started = startConnect(fd, a);
        if (started == 0 || started == EINPROGRESS) {
            state = State::Connecting;  // the outcome shows as writability
            return;
        }
        failCode = started;
        closeSocket(fd);
        fd = -1;
    }
    state = State::Failed;
    if (failCode == 0) failCode = EHOSTUNREACH;
}

bool TClientSocket::attemptTimedOut() const {
    return attemptDeadline != Clock::time_point::max() && Clock::now() >= attemptDeadline;
}

void TClientSocket::closeDescriptor() {
    if (fd >= 0) closeSocket(fd);
    fd = -1;
    state = State::Idle;
}

bool TClientSocket::flushPending() {
    while (!pending.empty()) {
        ++sends;
        int err = 0;
        const long long n = sendSome(fd, pending.data(), pending.size(), err);
        if (n > 0) {
            pending.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && err == EAGAIN) {
            break;
        } else {
            failCode = n < 0 ? err : EPIPE;
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
    if (left != 0) throw ESocketError("Socket error " + std::to_string(left) + ": " + socketErrorText(left), left);
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
    return bytesWaiting(fd);
}

std::string TClientSocket::receiveText() {
    Lock lock(mutex);
    const int waiting = receiveLength();
    if (waiting <= 0) return {};
    std::string text(static_cast<size_t>(waiting), '\0');
    int err = 0;
    const long long n = receiveSome(fd, text.data(), text.size(), err);
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
        int found = 0;
        int err = 0;
        if (waitFor(fd, waitOut, 0, found) <= 0) {
            // No answer yet: once this address's share is used up, on to the next one (an
            // address that drops the request silently would otherwise use the whole limit).
            if (!attemptTimedOut()) return;
            err = ETIMEDOUT;
        } else {
            err = pendingError(fd);
            // Winsock tells a refused connect as an error event with SO_ERROR set; a wait that
            // saw an error without a code is a failed connect all the same.
            if (err == 0 && (found & foundErr) && !(found & waitOut)) err = ECONNREFUSED;
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
        int found = 0;
        if (waitFor(fd, waitIn | (pending.empty() ? 0 : waitOut), 0, found) <= 0) return;
        if ((found & waitOut) && !flushPending()) {
            fail(failCode, true);
            return;
        }
        // Data first: what arrived before an end or an error is still handed over.
        if (receiveLength() > 0) {
            raise(OnRead);
            return;
        }
        if (found & foundErr) {
            const int err = pendingError(fd);
            fail(err ? err : ECONNRESET, true);
            return;
        }
        if (found & (waitIn | foundHup)) {  // readable with nothing to read: the peer closed
            closeDescriptor();
            pending.clear();
            raise(OnDisconnect);
        }
        return;
    }
    }
}

bool TClientSocket::waitForEvent(int ms) {
    TSock waitOn = noSocket;
    int events = 0;
    bool shareEnds = false;  // the wait ends with the share of the address being tried
    {
        Lock lock(mutex);
        if (state == State::Failed) return true;
        if (fd >= 0) {
            waitOn = fd;
            events = state == State::Connecting ? waitOut : waitIn | (pending.empty() ? 0 : waitOut);
            if (state == State::Connecting) {
                // The end of this address's share is something to process too.
                if (attemptTimedOut()) return true;
                const int left = msUntil(attemptDeadline);
                if (left >= 0 && (ms < 0 || left <= ms)) {
                    ms = left;
                    shareEnds = true;
                }
            }
        } else if (ms < 0) {
            return false;  // nothing could ever end an endless wait
        }
    }
    int found = 0;
    const int r = waitFor(waitOn, events, ms, found);
    return r > 0 || (r == 0 && shareEnds);
}

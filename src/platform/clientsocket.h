#pragma once
// A TCP client with event notifications, on POSIX sockets or Winsock (netsys_posix.cpp,
// netsys_win32.cpp).
//
// Nothing happens behind the caller's back: the notifications (OnConnect, OnDisconnect,
// OnError, OnRead) are raised on the thread that calls processPendingEvents, while it runs.
// waitForEvent blocks in poll() (WSAPoll) until there is something to process or the time is up.
// Host names are resolved with getaddrinfo on a thread of its own (IPv4 and IPv6; every address
// is tried in turn, each with a share of the connect limit); TCP_NODELAY is set, as the ECU
// traffic is small texts that wait for small answers.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

// The socket's own error: a look-up or set-up failure while opening, a refused change of host
// or port while connected, or an error notification whose code a handler left non-zero.
class ESocketError : public std::runtime_error {
public:
    ESocketError(const std::string& message, int code = 0)
        : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// One address of a host, as connect takes it.
struct TSocketAddress {
    alignas(8) unsigned char addr[128]{};  // a sockaddr_storage: sockaddr_in, sockaddr_in6
    unsigned len = 0;
    int family = 0;
};

// Finds the addresses of `host` for TCP port `port`, in the order to try them: 0, or a
// getaddrinfo error code (EAI_...).
using TResolver = std::function<int(const std::string& host, int port, std::vector<TSocketAddress>& found)>;
// The system's resolver: getaddrinfo.
int systemResolver(const std::string& host, int port, std::vector<TSocketAddress>& found);

// The words of a socket error code (an errno value, or a Winsock code without one).
std::string socketErrorText(int code);

enum class TClientType {
    Blocking,     // open waits for the outcome of the connect before it returns
    NonBlocking,  // everything returns at once; outcomes arrive as notifications
};

class TClientSocket {
public:
    TClientSocket() = default;
    // Closes an open connection without raising notifications (their handlers may be gone).
    ~TClientSocket();
    TClientSocket(const TClientSocket&) = delete;
    TClientSocket& operator=(const TClientSocket&) = delete;

    std::string getHost() const;
    // Throws ESocketError when the socket is connected and the host differs.
    void setHost(const std::string& host);
    int getPort() const;
    // Throws ESocketError when the socket is connected and the port differs.
    void setPort(int port);
    TClientType getClientType() const;
    void setClientType(TClientType type);
    // True from the moment the connection is established until it ends.
    bool getActive() const;

    // Resolves the host and starts connecting; OnConnect or OnError follows. The look-up runs on
    // a thread of its own: the caller waits for it, up to the connect limit, and OnWait runs
    // every 25 ms meanwhile (a GUI keeps repainting). Throws ESocketError when no attempt could
    // be started (no host, an unknown host, a look-up that did not end within the limit, a port
    // outside 1..65535). Does nothing while looking up, connecting or connected.
    void open();
    // The most an open may take, look-up included; 0 for no limit (the default). An address
    // that does not answer gets its share of what is left (the time left divided by the
    // addresses left), so that a host whose first address drops the request silently still
    // reaches the next one in time; when the limit passes, OnError reports ETIMEDOUT.
    void setConnectLimit(int ms);
    // Ends the connection or the attempt; OnDisconnect is raised before close returns.
    void close();

    // Sends the bytes. What the network cannot take at once is kept and sent, in order, as
    // the socket becomes writable during later event processing. On a socket that is not
    // connected nothing is sent and nothing raised. A send that fails raises OnError and then
    // ends the connection (OnDisconnect). Returns the number of bytes taken.
    size_t sendBuf(const void* bytes, size_t count);
    size_t sendText(const std::string& text) { return sendBuf(text.data(), text.size()); }
    // Bytes received and waiting to be taken.
    int receiveLength();
    // Takes every byte that is waiting.
    std::string receiveText();

    // Handles what happened on the socket since the last call and raises the notifications on
    // this thread. An OnError whose handler leaves the code non-zero becomes an ESocketError.
    void processPendingEvents();
    // Blocks in poll() up to `ms` milliseconds until processPendingEvents has something to do;
    // true when it has. With no connection at all it just waits the time out.
    bool waitForEvent(int ms);

    // The descriptor (the socket handle on Windows), -1 when there is none (for inspection).
    int handle() const;
    // How many send system calls the socket has made since it was built (for inspection: what
    // one command costs on the network).
    size_t sendCalls() const;

    std::function<void()> OnConnect;
    std::function<void()> OnDisconnect;
    std::function<void(int& errorCode)> OnError;
    std::function<void()> OnRead;
    // Runs on the caller's thread while open waits for the look-up.
    std::function<void()> OnWait;
    // How open finds the addresses; the system's resolver unless replaced.
    TResolver resolver = systemResolver;

private:
    enum class State { Idle, Resolving, Connecting, Failed, Connected };
    using Clock = std::chrono::steady_clock;
    using Address = TSocketAddress;

    void startNextAddress();      // lock held
    bool attemptTimedOut() const;  // lock held
    void closeDescriptor();       // lock held
    bool flushPending();          // lock held; false when the send failed (error in failCode)
    void fail(int code, bool wasConnected);  // lock held: raise OnError, end, maybe throw
    void raise(const std::function<void()>& handler);

    mutable std::recursive_mutex mutex;
    std::string host;
    int port = 0;
    TClientType clientType = TClientType::NonBlocking;
    State state = State::Idle;
    long long fd = -1;  // the system's socket: a descriptor, or a Winsock SOCKET
    int failCode = 0;
    std::vector<Address> addresses;  // still to try, for the connect under way
    int connectLimitMs = 0;
    Clock::time_point deadline = Clock::time_point::max();         // of the whole open
    Clock::time_point attemptDeadline = Clock::time_point::max();  // of the address being tried
    std::string pending;             // taken by sendBuf, not yet sent
    size_t sends = 0;
};

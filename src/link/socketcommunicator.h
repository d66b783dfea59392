#pragma once
// The link to the ECU over a TCP connection. The address slots carry the host, the bit-rate
// slots the TCP port number.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/communicator.h"
#include "platform/clientsocket.h"

namespace socket_link {
inline constexpr int32_t defaultReadTimeout = 250;  // hundredths of a second: 2.5 s
inline constexpr int connectPauseMs = 10;     // longest pause between two looks at a connect
inline constexpr int connectLimitMs = 10000;  // a connect without an answer is given up then
// The longest wait in poll() between two rounds of event processing while a read waits, so
// that the app's windows keep repainting when the GUI thread waits.
inline constexpr int eventSliceMs = 25;
inline constexpr const char* hostKey = "comm.hostname";
inline constexpr const char* portKey = "comm.portnum";
inline constexpr const char* defaultHost = "127.0.0.1";
inline constexpr int defaultPort = 32000;
inline constexpr TColor echoColor = expectedColor;  // the one colour of this link's echo
inline constexpr const char* closedByPeerText = "the connection was closed by the other end";
inline constexpr const char* failedText = "the connection failed: ";

// connectState values.
inline constexpr uint8_t closed = 0;
inline constexpr uint8_t opening = 1;
inline constexpr uint8_t closing = 2;
inline constexpr uint8_t connected = 3;
}  // namespace socket_link

class TSocketCommunicator : public TCommunicator {
public:
    explicit TSocketCommunicator(TOperator& op);
    ~TSocketCommunicator() override;

    // Connects or disconnects and waits for the outcome; a connect that gets no answer within
    // 10 s is given up (connectState 0, link closed, nothing raised). A host that cannot be
    // looked up raises ESocketError.
    void setActive(bool on) override;
    std::string getPort() override;
    void setPort(const std::string& host) override;  // ESocketError when connected elsewhere
    int getBaudRate() override;
    void setBaudRate(int port) override;             // ESocketError when connected elsewhere
    void loadSettings() override;
    void saveSettings() override;
    bool isActive() override;
    // Takes up the socket's notifications first, so that a connection the other end has
    // closed is found (and the link lost) before the text is held for it. Held back until the
    // next flush (see TCommunicator).
    void sendString(const std::string& text) override;
    void sendByte(uint8_t byte) override;
    // Hands what is held back to the socket in one send; on a socket that is not connected it
    // goes nowhere, and a send that fails loses the link.
    void flush() override;
    // Flushes, then waits up to readTimeout (not `timeout`) in poll() on the socket; -1 at
    // once when the buffer is empty and the link is not connected.
    int readByte() override;
    std::string takeArrived() override;
    int byteTimeoutMs() const override { return readTimeout * 10; }

    uint8_t getConnectState() const;
    // The error code with which the last connect failed (ECONNREFUSED, ETIMEDOUT, ...); 0 when
    // it did not fail, or failed without one (no answer within the limit).
    int openErrorCode() const;
    TClientSocket& clientSocket() { return *socket; }

    int32_t readTimeout = socket_link::defaultReadTimeout;  // hundredths of a second

private:
    void socketConnect();
    void socketDisconnect();
    void socketError(int& errorCode);
    void socketRead();
    void setConnectState(uint8_t state);
    bool bufferEmpty() const;
    // Raises the socket's notifications here and lets the app repaint.
    void processPendingEvents();

    std::unique_ptr<TClientSocket> socket;
    // rxBuffer and connectState are filled by notifications that may run on another thread
    // than a waiting read: the lock is held only while they are touched.
    mutable std::mutex guard;
    uint8_t connectState = socket_link::closed;
    std::string rxBuffer;
    int lastOpenError = 0;
};

#include "link/socketcommunicator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/convert.h"

namespace nl = socket_link;

TSocketCommunicator::TSocketCommunicator(TOperator& op)
    : TCommunicator(op), socket(std::make_unique<TClientSocket>()) {
    socket->OnConnect = [this] { socketConnect(); };
    socket->OnDisconnect = [this] { socketDisconnect(); };
    socket->OnError = [this](int& code) { socketError(code); };
    socket->OnRead = [this] { socketRead(); };
    socket->setClientType(TClientType::NonBlocking);
    // The look-up counts against the connect limit, and the windows keep repainting meanwhile.
    socket->setConnectLimit(nl::connectLimitMs);
    socket->OnWait = [this] { this->op.window.processPendingEvents(); };
}

TSocketCommunicator::~TSocketCommunicator() {
    flush();
    // The socket closes an open connection as it goes, without notifications.
    socket->OnConnect = nullptr;
    socket->OnDisconnect = nullptr;
    socket->OnError = nullptr;
    socket->OnRead = nullptr;
    socket->OnWait = nullptr;
}

void TSocketCommunicator::setConnectState(uint8_t state) {
    std::lock_guard<std::mutex> lock(guard);
    connectState = state;
}

uint8_t TSocketCommunicator::getConnectState() const {
    std::lock_guard<std::mutex> lock(guard);
    return connectState;
}

bool TSocketCommunicator::bufferEmpty() const {
    std::lock_guard<std::mutex> lock(guard);
    return rxBuffer.empty();
}

void TSocketCommunicator::socketConnect() { setConnectState(nl::connected); }

void TSocketCommunicator::socketDisconnect() {
    // Only a connection that ends without setActive asking for it is lost.
    if (getConnectState() == nl::connected) markLost(nl::closedByPeerText);
    setConnectState(nl::closed);
}

void TSocketCommunicator::socketError(int& errorCode) {
    const uint8_t state = getConnectState();
    if (state == nl::connected) {
        markLost(std::string(nl::failedText) + socketErrorText(errorCode));
    } else if (state == nl::opening) {
        std::lock_guard<std::mutex> lock(guard);
        lastOpenError = errorCode;
    }
    setConnectState(nl::closed);
    errorCode = 0;  // the link reports nothing; callers learn from isActive and readByte
}

int TSocketCommunicator::openErrorCode() const {
    std::lock_guard<std::mutex> lock(guard);
    return lastOpenError;
}

void TSocketCommunicator::socketRead() {
    std::string echo;
    if (socket->receiveLength() > 0) {
        const std::string arrived = socket->receiveText();
        std::lock_guard<std::mutex> lock(guard);
        rxBuffer += arrived;
        if (debugEcho) echo = rxBuffer;
    } else if (debugEcho) {
        std::lock_guard<std::mutex> lock(guard);
        echo = rxBuffer;
    }
    if (debugEcho) op.log.appendTraffic(echo + "\r", nl::echoColor, TTraffic::Arrived);
}

void TSocketCommunicator::processPendingEvents() {
    socket->processPendingEvents();
    op.window.processPendingEvents();
}

void TSocketCommunicator::setActive(bool on) {
    // What was given before goes out before a close, and never reaches a connection opened
    // later (on a socket that is not connected it goes nowhere).
    flush();
    if (on == socket->getActive()) return;
    if (on) {
        clearLost();
        {
            std::lock_guard<std::mutex> lock(guard);
            lastOpenError = 0;
        }
        setConnectState(nl::opening);
        socket->open();
    } else {
        setConnectState(nl::closing);
        socket->close();
    }
    const int64_t start = op.clock.nowMs();
    auto waiting = [&] {
        const uint8_t s = getConnectState();
        return (s == nl::opening || s == nl::closing) && socket->getActive() != on;
    };
    while (waiting()) {
        processPendingEvents();
        if (!waiting()) break;
        if (on && op.clock.nowMs() - start >= nl::connectLimitMs) {
            // Nobody answered (an unreachable host): give the attempt up quietly.
            socket->close();
            setConnectState(nl::closed);
            std::lock_guard<std::mutex> lock(guard);
            lastOpenError = ETIMEDOUT;
            break;
        }
        socket->waitForEvent(nl::connectPauseMs);
    }
}

std::string TSocketCommunicator::getPort() { return socket->getHost(); }

void TSocketCommunicator::setPort(const std::string& host) { socket->setHost(host); }

int TSocketCommunicator::getBaudRate() { return socket->getPort(); }

void TSocketCommunicator::setBaudRate(int port) { socket->setPort(port); }

void TSocketCommunicator::loadSettings() {
    setPort(op.prefs.readPreference(nl::hostKey));
    if (getPort().empty()) setPort(nl::defaultHost);
    try {
        setBaudRate(strToInt(op.prefs.readPreference(nl::portKey)));
    } catch (const EConvertError&) {
        setBaudRate(nl::defaultPort);
    }
}

void TSocketCommunicator::saveSettings() {
    op.prefs.writePreference(nl::hostKey, getPort());
    op.prefs.writePreference(nl::portKey, std::to_string(getBaudRate()));
}

bool TSocketCommunicator::isActive() { return socket->getActive(); }

void TSocketCommunicator::sendString(const std::string& text) {
    // A connection the other side has closed is found before the text is held for it.
    socket->processPendingEvents();
    const bool full = holdBack(text.data(), text.size());
    if (debugEcho) op.log.appendTraffic(text + "\r", nl::echoColor, TTraffic::Sent);
    if (full) flush();
}

void TSocketCommunicator::sendByte(uint8_t byte) {
    const char c = static_cast<char>(byte);
    const bool full = holdBack(&c, 1);
    if (debugEcho) op.log.appendTraffic(std::string(1, c), nl::echoColor, TTraffic::Sent);
    if (full) flush();
}

void TSocketCommunicator::flush() {
    if (!holding()) return;
    const std::string out = takeHeld();
    socket->processPendingEvents();
    socket->sendText(out);
}

int TSocketCommunicator::readByte() {
    flush();
    const int64_t start = op.clock.nowMs();
    const int64_t limit = readLimitMs(readTimeout * 10);
    while (bufferEmpty()) {
        processPendingEvents();
        if (!bufferEmpty()) break;
        const int64_t elapsed = op.clock.nowMs() - start;
        if (elapsed > limit || getConnectState() != nl::connected) return -1;
        // Sleep in poll() until data, an end or the time-out; a byte that arrives wakes it at
        // once. The slice keeps the app's repaint hook running while the GUI thread waits.
        socket->waitForEvent(static_cast<int>(std::min<int64_t>(nl::eventSliceMs, limit - elapsed + 1)));
    }
    char c;
    {
        std::lock_guard<std::mutex> lock(guard);
        c = rxBuffer.front();
        rxBuffer.erase(0, 1);
    }
    if (debugEcho) op.log.appendTraffic(std::string(1, c), nl::echoColor, TTraffic::Received);
    return static_cast<uint8_t>(c);
}

std::string TSocketCommunicator::takeArrived() {
    processPendingEvents();
    std::string out;
    {
        std::lock_guard<std::mutex> lock(guard);
        out.swap(rxBuffer);
    }
    return out;
}

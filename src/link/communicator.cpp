#include "link/communicator.h"

#include <algorithm>

#include "platform/convert.h"

TCommunicator::TCommunicator(TOperator& op) : op(op) {}

bool TCommunicator::expect(const std::string& text) { return expect(text, 0); }

bool TCommunicator::expect(const std::string& text, size_t maxBytes) {
    if (debugEcho) op.log.appendText("\rExpect: " + text + "\r", expectedColor);
    received.clear();
    overran = false;
    size_t match = 0;
    int64_t firstByteAt = 0;
    while (match < text.size()) {
        if (maxBytes > 0 && received.size() >= maxBytes) {
            overran = true;
            return false;
        }
        if (!received.empty() && op.clock.nowMs() - firstByteAt > std::max(readLimitMs(byteTimeoutMs()), minReplyMs))
            return false;
        int b = readByte();
        if (b < 0) return false;
        if (received.empty()) firstByteAt = op.clock.nowMs();
        const char c = static_cast<char>(b);
        received += c;
        // A byte that breaks a partial match starts nothing new: it is not compared again
        // with the first character.
        if (c == text[match]) ++match;
        else match = 0;
    }
    return true;
}

bool TCommunicator::isLost() const {
    std::lock_guard<std::mutex> lock(lostGuard);
    return !lostWhy.empty();
}

std::string TCommunicator::lostReason() const {
    std::lock_guard<std::mutex> lock(lostGuard);
    return lostWhy;
}

void TCommunicator::markLost(const std::string& why) {
    std::lock_guard<std::mutex> lock(lostGuard);
    if (lostWhy.empty()) lostWhy = why.empty() ? "the link failed" : why;
}

void TCommunicator::clearLost() {
    std::lock_guard<std::mutex> lock(lostGuard);
    lostWhy.clear();
}

std::string TCommunicator::discardPending() {
    const std::string stale = takeArrived();
    if (!stale.empty()) op.log.appendText("\rDiscarded, unasked: " + quoteBytes(stale) + "\r", expectedColor);
    return stale;
}

std::string TCommunicator::settle(size_t maxBytes, bool* quiet) {
    std::string dropped = takeArrived();
    bool silent = false;
    while (dropped.size() < maxBytes) {
        const int b = readByte();
        if (b < 0) {
            silent = true;
            break;
        }
        dropped += static_cast<char>(b);
    }
    if (quiet) *quiet = silent;
    if (!dropped.empty()) op.log.appendText("\rDiscarded, late: " + quoteBytes(dropped) + "\r", expectedColor);
    return dropped;
}

#include "support/scriptedlink.h"

#include "platform/convert.h"

TScriptedLink::TScriptedLink(TOperator& op, TVirtualClock& clock, bool serialKind)
    : TCommunicator(op), clock(clock), serial(serialKind) {}

void TScriptedLink::reply(const std::string& command, const std::string& text, int times,
                          int perByteDelayMs) {
    rules.push_back({command, text, times, perByteDelayMs, 0, {}});
}

void TScriptedLink::replyThen(const std::string& command, const std::string& first, int pauseMs,
                              const std::string& second) {
    rules.push_back({command, first, -1, 0, pauseMs, second});
}

void TScriptedLink::feed(const std::string& bytes, int afterMs, int perByteDelayMs) {
    int64_t at = clock.nowMs() + afterMs;
    if (!incoming.empty() && incoming.back().at > at) at = incoming.back().at;
    for (char c : bytes) {
        at += perByteDelayMs;
        incoming.push_back({c, at});
    }
}

void TScriptedLink::setActive(bool on) {
    wire.push_back(on ? "open" : "close");
    active = on;
    if (on) clearLost();
}

void TScriptedLink::setBaudRate(int r) {
    wire.push_back("rate:" + std::to_string(r));
    rate = r;
}

void TScriptedLink::sendString(const std::string& text) {
    if (isLost()) {
        wire.push_back("lost:" + text);
        return;
    }
    wire.push_back("tx:" + text);
    sentBytes += text;
    if (responder) {
        feed(responder(text));
        return;
    }
    for (auto& rule : rules) {
        if (rule.command != text || rule.times == 0) continue;
        if (rule.times > 0) --rule.times;
        feed(rule.reply, 0, rule.delay);
        if (!rule.second.empty()) feed(rule.second, rule.pause, 0);
        break;
    }
}

void TScriptedLink::sendByte(uint8_t byte) {
    if (isLost()) {
        wire.push_back("lost:byte:" + hexHH(byte));
        return;
    }
    wire.push_back("byte:" + hexHH(byte));
    sentBytes += static_cast<char>(byte);
    if (responder) feed(responder(std::string(1, static_cast<char>(byte))));
}

int TScriptedLink::readByte() {
    const int timeout = readLimitMs(this->timeout);
    timeoutsSeen.push_back(timeout);
    if (isLost()) return -1;
    if (!incoming.empty() && incoming.front().at <= clock.nowMs() + timeout) {
        if (incoming.front().at > clock.nowMs()) clock.advance(incoming.front().at - clock.nowMs());
        const char c = incoming.front().byte;
        incoming.pop_front();
        return static_cast<uint8_t>(c);
    }
    clock.advance(timeout + 1);
    return -1;
}

std::string TScriptedLink::takeArrived() {
    std::string out;
    while (!incoming.empty() && incoming.front().at <= clock.nowMs()) {
        out += incoming.front().byte;
        incoming.pop_front();
    }
    if (!out.empty()) wire.push_back("discarded:" + out);
    return out;
}

std::vector<std::string> TScriptedLink::sent() const {
    std::vector<std::string> out;
    for (const auto& w : wire)
        if (w.rfind("tx:", 0) == 0) out.push_back(w.substr(3));
    return out;
}

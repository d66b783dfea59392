#pragma once
// An in-memory link for the protocol tests: it answers the texts the tool sends with scripted
// replies, byte by byte on a virtual clock, and records everything that crossed it.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/communicator.h"
#include "support/fakes.h"

class TScriptedLink : public TCommunicator {
public:
    // `serialKind` makes the link answer yes to the serial-kind test, so that the protocol's
    // bit-rate steps can be tested before a real port is at hand.
    TScriptedLink(TOperator& op, TVirtualClock& clock, bool serialKind = false);

    // When the tool sends exactly `command` (one sendString call), `reply` is queued, one byte
    // every `perByteDelayMs` after the send. `times` replies at most that often (-1: always);
    // rules are tried in the order they were given, so a rule with an empty reply and a count
    // scripts silence before a later answer.
    void reply(const std::string& command, const std::string& reply, int times = -1,
               int perByteDelayMs = 0);
    // When set, everything sent goes to it and what it returns comes back as the reply.
    std::function<std::string(const std::string&)> responder;
    // Like reply, but `second` follows `first` only after a pause of `pauseMs`.
    void replyThen(const std::string& command, const std::string& first, int pauseMs,
                   const std::string& second);
    // Bytes that arrive `afterMs` from now, one every `perByteDelayMs`.
    void feed(const std::string& bytes, int afterMs = 0, int perByteDelayMs = 0);
    // The far end is gone, as a real link finds on a hang-up: from now on sends go nowhere
    // (recorded as "lost:..." on the wire) and reads give -1 at once.
    void lose(const std::string& why = "the far end hung up") { markLost(why); }

    void setActive(bool on) override;
    std::string getPort() override { return port; }
    void setPort(const std::string& p) override { port = p; }
    int getBaudRate() override { return rate; }
    void setBaudRate(int r) override;
    void loadSettings() override { wire.push_back("load"); }
    void saveSettings() override { wire.push_back("save"); }
    bool isActive() override { return active; }
    void sendString(const std::string& text) override;
    void sendByte(uint8_t byte) override;
    int readByte() override;
    std::string takeArrived() override;
    bool isSerialKind() const override { return serial; }

    // What crossed the link, in order: "tx:Man", "byte:41", "rate:9600", "open", "close", ...
    std::vector<std::string> wire;
    // The texts sent with sendString, in order.
    std::vector<std::string> sent() const;
    std::string sentBytes;  // every byte sent, in order
    std::vector<int> timeoutsSeen;  // the read time-out of every readByte call
    std::string port = "1";
    int rate = 9600;
    bool active = false;

private:
    struct Rule {
        std::string command, reply;
        int times, delay;
        int pause = 0;
        std::string second;
    };
    struct Pending {
        char byte;
        int64_t at;
    };
    TVirtualClock& clock;
    bool serial;
    std::vector<Rule> rules;
    std::deque<Pending> incoming;
};

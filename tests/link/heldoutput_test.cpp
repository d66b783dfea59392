// What the links are given is held back and reaches the far end in one write, when the link is
// about to wait, changes its rate, closes, is flushed, or holds too much; a flush that fails
// loses the link. Both links, against a pseudo-terminal and a loopback connection.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "link/serialcommunicator.h"
#include "link/socketcommunicator.h"
#include "support/fakes.h"
#include "support/realpeers.h"

namespace {

// One link and the descriptor of its far end.
struct TLinkEnd {
    virtual ~TLinkEnd() = default;
    virtual TCommunicator& link() = 0;
    virtual int far() = 0;
    // The far end goes so that the next write fails.
    virtual void breakFarEnd() = 0;
    TFakeOperator<TFastClock> fake;
};

struct TSerialEnd : TLinkEnd {
    TSerialEnd() {
        serial.setActive(true);
        EXPECT_TRUE(serial.isActive()) << serial.openError();
    }
    TCommunicator& link() override { return serial; }
    int far() override { return pty.master; }
    void breakFarEnd() override { pty.closeMaster(); }
    TPty pty;
    TSerialPortsSetting ports{pty.path};
    TSerialCommunicator serial{fake.op};
};

struct TNetworkEnd : TLinkEnd {
    TNetworkEnd() {
        socket.setPort("127.0.0.1");
        socket.setBaudRate(server.port);
        socket.setActive(true);
        peer = server.accept();
        EXPECT_GE(peer, 0);
    }
    ~TNetworkEnd() override {
        if (peer >= 0) ::close(peer);
    }
    TCommunicator& link() override { return socket; }
    int far() override { return peer; }
    void breakFarEnd() override {
        // A reset rather than an orderly close: the next send fails outright.
        const linger reset{1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(peer);
        peer = -1;
    }
    TLoopbackServer server;
    TSocketCommunicator socket{fake.op};
    int peer = -1;
};

std::unique_ptr<TLinkEnd> makeEnd(bool serial) {
    if (serial) return std::make_unique<TSerialEnd>();
    return std::make_unique<TNetworkEnd>();
}

}  // namespace

TEST(HeldOutput, LeavesOnlyWhenTheLinkWaitsChangesRateClosesOrIsFlushed) {
    struct Case {
        const char* what;
        bool serialOnly;
        std::function<void(TCommunicator&)> trigger;
    };
    const Case cases[] = {
        {"a read", false, [](TCommunicator& l) { l.readByte(); }},
        {"an explicit flush", false, [](TCommunicator& l) { l.flush(); }},
        {"a rate change", true, [](TCommunicator& l) { l.setBaudRate(19200); }},
        {"closing", false, [](TCommunicator& l) { l.setActive(false); }},
        {"holding more than the limit", false,
         [](TCommunicator& l) { l.sendString(std::string(TCommunicator::outputHoldLimit, 'x')); }},
    };
    for (bool serial : {true, false}) {
        for (const Case& c : cases) {
            if (c.serialOnly && !serial) continue;
            SCOPED_TRACE(std::string(serial ? "serial, " : "network, ") + c.what);
            auto end = makeEnd(serial);
            TCommunicator& l = end->link();
            l.timeout = 50;
            l.sendString("mcB");
            l.sendByte(0x31);
            l.sendByte(0x30);
            EXPECT_EQ(readFor(end->far(), 5, 100), "") << "nothing leaves before it is due";
            c.trigger(l);
            EXPECT_EQ(readFor(end->far(), 5, 1000), "mcB10");
        }
    }
}

TEST(HeldOutput, BytesGivenWhileClosedNeverReachALaterConnection) {
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "serial" : "network");
        auto end = makeEnd(serial);
        TCommunicator& l = end->link();
        l.setActive(false);
        l.sendString("stale");
        l.setActive(true);
        ASSERT_TRUE(l.isActive());
        if (!serial) {
            auto& net = static_cast<TNetworkEnd&>(*end);
            ::close(net.peer);
            net.peer = net.server.accept();
        }
        l.sendString("Man");
        l.flush();
        EXPECT_EQ(readFor(end->far(), 8, 300), "Man");
    }
}

TEST(HeldOutput, AFlushThatFailsLosesTheLinkWithItsReason) {
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "serial" : "network");
        auto end = makeEnd(serial);
        TCommunicator& l = end->link();
        l.timeout = 500;
        end->breakFarEnd();
        l.sendString("mttg05c1A");
        l.flush();
        if (!serial && !l.isLost()) {
            // The reset may land just after the first send: the next one meets it.
            usleep(50000);
            l.sendString("mcs");
            l.flush();
        }
        EXPECT_TRUE(l.isLost());
        EXPECT_FALSE(l.lostReason().empty());
        EXPECT_EQ(l.readByte(), -1);
    }
}

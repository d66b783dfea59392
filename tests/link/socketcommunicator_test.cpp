// The network link against loopback TCP servers started by the tests.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/socketcommunicator.h"
#include "support/fakes.h"
#include "support/realpeers.h"

namespace {

// Counts the app's repaint hook.
class TCountingWindow : public TRecordingWindow {
public:
    void processPendingEvents() override { ++pendingEventRounds; }
    std::atomic<int> pendingEventRounds{0};
};

// A clock that runs `factor` times faster than the real one.
class TRushingClock : public TClock {
public:
    explicit TRushingClock(int factor) : factor(factor) {}
    int64_t nowMs() override { return steadyMs() * factor; }
    void sleepMs(int) override {}

private:
    int64_t factor;
};

// A link connected to a loopback server, and the server's end of the connection.
struct TConnectedLink {
    TConnectedLink() {
        link.setPort("127.0.0.1");
        link.setBaudRate(server.port);
        link.setActive(true);
        peer = server.accept();
    }
    ~TConnectedLink() {
        if (peer >= 0) closeDescriptor(peer);
    }
    void closePeer() {
        closeDescriptor(peer);
        peer = -1;
    }
    TLoopbackServer server;
    TFakeOperator<TFastClock> fake;
    TSocketCommunicator link{fake.op};
    int peer = -1;
};

}  // namespace

TEST(NetworkLink, DefaultsAndPreferences) {
    TFakeOperator<TFastClock> fake;
    TSocketCommunicator link(fake.op);
    EXPECT_EQ(link.readTimeout, 250);
    EXPECT_FALSE(link.isSerialKind());
    link.loadSettings();  // nothing stored
    EXPECT_EQ(link.getPort(), "127.0.0.1");
    EXPECT_EQ(link.getBaudRate(), 32000);
    EXPECT_FALSE(link.isActive());
    EXPECT_EQ(link.getConnectState(), socket_link::closed);

    fake.prefs.values = {{"comm.hostname", "ecu.garage"}, {"comm.portnum", "port"}};
    link.loadSettings();
    EXPECT_EQ(link.getPort(), "ecu.garage");
    EXPECT_EQ(link.getBaudRate(), 32000);
    link.setBaudRate(4001);
    fake.prefs.values.clear();
    link.saveSettings();
    EXPECT_EQ(fake.prefs.values, (std::map<std::string, std::string>{{"comm.hostname", "ecu.garage"},
                                                                      {"comm.portnum", "4001"}}));
}

TEST(NetworkLink, ARefusedConnectLeavesTheLinkClosedWithoutAnError) {
    TFakeOperator<TFastClock> fake;
    TSocketCommunicator link(fake.op);
    link.setPort("127.0.0.1");
    link.setBaudRate(unusedLoopbackPort());
    const long long t0 = steadyMs();
    EXPECT_NO_THROW(link.setActive(true));
    EXPECT_LT(steadyMs() - t0, 1000);
    EXPECT_FALSE(link.isActive());
    EXPECT_EQ(link.getConnectState(), socket_link::closed);
    EXPECT_EQ(link.readByte(), -1);  // at once: not connected
    EXPECT_LT(steadyMs() - t0, 1000);
}

TEST(NetworkLink, AConnectThatGetsNoAnswerIsGivenUpAfterTenSeconds) {
    // A listener whose backlog is full drops further connection requests unanswered.
    TLoopbackServer server("127.0.0.1", 0);
    std::vector<std::unique_ptr<TClientSocket>> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.push_back(std::make_unique<TClientSocket>());
        fillers.back()->setHost("127.0.0.1");
        fillers.back()->setPort(server.port);
        fillers.back()->open();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    TRecordingProgress progress;
    TRecordingLog log;
    TRecordingWindow window;
    TMemoryPreferences prefs;
    TRushingClock clock(50);  // ten seconds pass in a fifth of one
    TOperator op{progress, log, window, prefs, clock};
    TSocketCommunicator link(op);
    link.setPort("127.0.0.1");
    link.setBaudRate(server.port);
    const int64_t start = clock.nowMs();
    const long long t0 = steadyMs();
    EXPECT_NO_THROW(link.setActive(true));
    EXPECT_GE(clock.nowMs() - start, socket_link::connectLimitMs);
    EXPECT_LT(steadyMs() - t0, 2000);
    EXPECT_FALSE(link.isActive());
    EXPECT_EQ(link.getConnectState(), socket_link::closed);
    EXPECT_EQ(link.clientSocket().handle(), -1);
}

TEST(NetworkLink, ConnectsDisconnectsAndKeepsItsAddressWhileConnected) {
    TConnectedLink c;
    ASSERT_TRUE(c.link.isActive());
    EXPECT_EQ(c.link.getConnectState(), socket_link::connected);
    ASSERT_GE(c.peer, 0);
    c.link.setActive(true);  // already connected: nothing happens
    EXPECT_EQ(c.link.getConnectState(), socket_link::connected);
    EXPECT_THROW(c.link.setPort("::1"), ESocketError);
    EXPECT_THROW(c.link.setBaudRate(c.server.port + 1), ESocketError);

    c.link.setActive(false);
    EXPECT_FALSE(c.link.isActive());
    EXPECT_EQ(c.link.getConnectState(), socket_link::closed);
    EXPECT_EQ(readFor(c.peer, 1, 1000), "");  // the server sees the end
}

TEST(NetworkLink, ABCInOnePacketIsReadOnceAndEchoedInGreen) {
    TConnectedLink c;
    c.link.debugEcho = true;
    writeAll(c.peer, "ABC");
    EXPECT_EQ(c.link.readByte(), 'A');
    c.closePeer();  // B and C come from memory, whatever the connection does now
    const long long t0 = steadyMs();
    EXPECT_EQ(c.link.readByte(), 'B');
    EXPECT_EQ(c.link.readByte(), 'C');
    EXPECT_LT(steadyMs() - t0, 50);

    const auto log = c.fake.log.entries();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].text, "ABC\r");
    EXPECT_EQ(log[1].text, "A");
    EXPECT_EQ(log[2].text, "B");
    EXPECT_EQ(log[3].text, "C");
    for (const auto& e : log) EXPECT_EQ(e.color, (TColor{0, 128, 0}));
}

TEST(NetworkLink, SendsWhatItIsGivenAndEchoesItInGreen) {
    TConnectedLink c;
    c.link.debugEcho = true;
    c.link.sendString("mcd");
    c.link.sendByte(65);
    c.link.sendByte(0);
    c.link.flush();
    EXPECT_EQ(readFor(c.peer, 5, 1000), std::string("mcdA\0", 5));
    const auto log = c.fake.log.entries();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].text, "mcd\r");
    EXPECT_EQ(log[1].text, "A");
    EXPECT_EQ(log[2].text, std::string(1, '\0'));
    for (const auto& e : log) EXPECT_EQ(e.color, expectedColor);
}

TEST(NetworkLink, SendingOnAClosedLinkSendsNothingAndRaisesNothing) {
    TFakeOperator<TFastClock> fake;
    TSocketCommunicator link(fake.op);
    link.debugEcho = true;
    EXPECT_NO_THROW(link.sendString("mcd"));
    EXPECT_NO_THROW(link.sendByte(65));
    EXPECT_EQ(fake.log.all(), "mcd\rA");  // the echo still happens
}

TEST(NetworkLink, ReadWaitsItsOwnTwoAndAHalfSecondsWhateverTimeoutSays) {
    TConnectedLink c;
    c.link.timeout = 100;
    const long long t0 = steadyMs();
    EXPECT_EQ(c.link.readByte(), -1);
    const long long waited = steadyMs() - t0;
    EXPECT_GE(waited, 2500);
    EXPECT_LT(waited, 2800);
    EXPECT_TRUE(c.link.isActive());  // a time-out ends nothing

    // A longer `timeout` does not stretch it either (on a clock ten times faster than real).
    TRecordingProgress progress;
    TRecordingLog log;
    TRecordingWindow window;
    TMemoryPreferences prefs;
    TRushingClock clock(10);
    TOperator op{progress, log, window, prefs, clock};
    TSocketCommunicator rushed(op);
    rushed.setPort("127.0.0.1");
    rushed.setBaudRate(c.server.port);
    rushed.setActive(true);
    ASSERT_TRUE(rushed.isActive());
    rushed.timeout = 4000;
    const int64_t start = clock.nowMs();
    EXPECT_EQ(rushed.readByte(), -1);
    EXPECT_GE(clock.nowMs() - start, 2500);
    EXPECT_LT(clock.nowMs() - start, 4000);
}

TEST(NetworkLink, APeerClosingMidReadEndsTheReadAtOnce) {
    TConnectedLink c;
    c.link.timeout = 4000;
    std::thread ecu([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.closePeer();
    });
    const long long t0 = steadyMs();
    EXPECT_EQ(c.link.readByte(), -1);
    const long long waited = steadyMs() - t0;
    ecu.join();
    EXPECT_GE(waited, 90);
    EXPECT_LT(waited, 600);
    EXPECT_EQ(c.link.getConnectState(), socket_link::closed);
    EXPECT_FALSE(c.link.isActive());
}

TEST(NetworkLink, BytesReceivedBeforeTheCloseAreStillHandedOut) {
    TConnectedLink c;
    writeAll(c.peer, "Bye\r");
    c.closePeer();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(c.link.expect("Bye\r"));
    const long long t0 = steadyMs();
    EXPECT_EQ(c.link.readByte(), -1);
    EXPECT_LT(steadyMs() - t0, 100);
}

TEST(NetworkLink, AByteIsHandedOutAsSoonAsItArrivesAndTheAppRepaintsMeanwhile) {
    TLoopbackServer server;
    TFakeOperator<TFastClock> fake;
    TCountingWindow window;
    TOperator op{fake.progress, fake.log, window, fake.prefs, fake.clock};
    TSocketCommunicator link(op);
    link.setPort("127.0.0.1");
    link.setBaudRate(server.port);
    link.setActive(true);
    const int peer = server.accept();
    window.pendingEventRounds = 0;

    long long sentAt = 0;
    std::thread ecu([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        sentAt = steadyMs();
        writeAll(peer, "K");
    });
    EXPECT_EQ(link.readByte(), 'K');
    const long long handedOut = steadyMs();
    ecu.join();
    EXPECT_LT(handedOut - sentAt, 20);
    // A round of event processing at least every 25 ms, not one per CPU cycle.
    EXPECT_GE(window.pendingEventRounds, 250 / socket_link::eventSliceMs - 1);
    EXPECT_LE(window.pendingEventRounds, 250 / socket_link::eventSliceMs * 3);
    closeDescriptor(peer);
}

// The serial link against real pseudo-terminals: the test plays the ECU on the master end.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "link/serialcommunicator.h"
#include "platform/convert.h"
#include "platform/sio.h"
#include "support/fakes.h"
#include "support/realpeers.h"

namespace {

// A pty as port 1 of the serial port list, and a link to it.
template <class Clock = TFastClock>
struct TSerialBench {
    TPty pty;
    TSerialPortsSetting ports{pty.path};
    TFakeOperator<Clock> fake;
    TSerialCommunicator link{fake.op};

    void open() {
        link.setActive(true);
        ASSERT_TRUE(link.isActive()) << link.openError();
    }
};

// Fills the terminal and then the port's own queue while nobody reads the far end. The pty
// moves data on behind the first refusal, so keep going until the queue stays full.
template <class Bench>
void fillOutput(Bench&) {
    const std::string block(1 << 16, 'q');
    for (int round = 0; round < 100; ++round) {
        while (SioPuts(0, block.data(), static_cast<unsigned>(block.size())) > 0) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (SioTxQue(0) == serial_link::queueSize) return;
    }
    FAIL() << "the output never filled up";
}

int openDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

}  // namespace

TEST(SerialLink, StartsOnPortOneAt9600Closed) {
    TFakeOperator<TFastClock> fake;
    TSerialCommunicator link(fake.op);
    EXPECT_EQ(link.getPort(), "1");
    EXPECT_EQ(link.getBaudRate(), 9600);
    EXPECT_FALSE(link.isActive());
    EXPECT_TRUE(link.isSerialKind());
    EXPECT_EQ(link.timeout, 2500);
    EXPECT_THROW(link.setPort("COM3"), EConvertError);
    EXPECT_EQ(link.getPort(), "1");
}

TEST(SerialLink, PreferencesFallBackToPortOneAt9600Together) {
    TFakeOperator<TFastClock> fake;
    TSerialCommunicator link(fake.op);
    link.loadSettings();  // nothing stored
    EXPECT_EQ(link.getPort(), "1");
    EXPECT_EQ(link.getBaudRate(), 9600);

    fake.prefs.values = {{"comm.comport", "3"}, {"comm.baudrate", "fast"}};
    link.loadSettings();
    EXPECT_EQ(link.getPort(), "1");
    EXPECT_EQ(link.getBaudRate(), 9600);

    fake.prefs.values = {{"comm.comport", "4"}, {"comm.baudrate", "38400"}};
    link.loadSettings();
    EXPECT_EQ(link.getPort(), "4");
    EXPECT_EQ(link.getBaudRate(), 38400);
    fake.prefs.values.clear();
    link.saveSettings();
    EXPECT_EQ(fake.prefs.values,
              (std::map<std::string, std::string>{{"comm.comport", "4"}, {"comm.baudrate", "38400"}}));
}

// A stored rate the ECU does not know would have the handshake send "mcB00" and strand it.
TEST(SerialLink, AStoredRateTheEcuDoesNotKnowReadsAs9600WithAWarning) {
    for (const std::string rate : {"230400", "300", "12345", "0"}) {
        TFakeOperator<TFastClock> fake;
        TSerialCommunicator link(fake.op);
        fake.prefs.values = {{"comm.comport", "2"}, {"comm.baudrate", rate}};
        link.loadSettings();
        EXPECT_EQ(link.getBaudRate(), 9600) << rate;
        EXPECT_EQ(link.getPort(), "2");  // the port stays
        EXPECT_EQ(link.settingsWarning, "The stored bit rate " + rate +
                                            " (comm.baudrate) is not one the ECU knows (9600, 19200, 38400, 57600 "
                                            "and 115200): 9600 bit/s is used.");
        EXPECT_TRUE(fake.window.messages().empty());  // the front shows it
        fake.prefs.values["comm.baudrate"] = "19200";
        link.loadSettings();
        EXPECT_EQ(link.settingsWarning, "") << "a load with a known rate has nothing to warn of";
    }
}

TEST(SerialLink, PortNumbersCountThroughTheSerialPortList) {
    TPty pty;
    TSerialPortsSetting ports("/nonexistent/a:/nonexistent/b:" + pty.path);
    TFakeOperator<TFastClock> fake;
    TSerialCommunicator link(fake.op);
    link.setBaudRate(57600);

    testing::internal::CaptureStdout();
    link.setActive(true);  // port 1 is the first entry, which does not exist
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open port\n");
    EXPECT_FALSE(link.isActive());
    EXPECT_NE(link.openError().find("/nonexistent/a does not exist"), std::string::npos);

    link.setPort("3");
    testing::internal::CaptureStdout();
    link.setActive(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(link.isActive());
    EXPECT_EQ(link.openError(), "");
    // The rate the link keeps is the one the terminal runs at.
    EXPECT_EQ(pty.outputSpeed(), static_cast<speed_t>(B57600));
    link.setBaudRate(115200);
    EXPECT_EQ(pty.outputSpeed(), static_cast<speed_t>(B115200));
    link.sendString("mdV");
    link.flush();
    EXPECT_EQ(pty.read(3, 1000), "mdV");

    link.setActive(false);
    EXPECT_FALSE(link.isActive());
    EXPECT_EQ(SioTxQue(2), SioErrNotOpen);
}

TEST(SerialLink, ReadsWholeChunksAndServesTheRestFromItsBuffer) {
    TSerialBench<> bench;
    bench.open();
    bench.link.timeout = 100;
    bench.pty.write(std::string("A\0B", 3));
    ASSERT_EQ(bench.link.readByte(), 'A');
    // The far end vanishes: what the link already fetched is still handed out, at once.
    bench.pty.closeMaster();
    const long long t0 = steadyMs();
    EXPECT_EQ(bench.link.readByte(), 0);
    EXPECT_EQ(bench.link.readByte(), 'B');
    EXPECT_LT(steadyMs() - t0, 50);
    // Then the hang-up shows: -1 at once, not after the time-out, and the link is lost;
    // sends go nowhere and report nothing.
    EXPECT_FALSE(bench.link.isLost());
    EXPECT_EQ(bench.link.readByte(), -1);
    EXPECT_LT(steadyMs() - t0, 50);
    EXPECT_TRUE(bench.link.isLost());
    EXPECT_EQ(bench.link.lostReason(), serial_link::lostText);
    bench.link.timeout = 5000;
    EXPECT_EQ(bench.link.readByte(), -1);
    bench.link.sendString("mcs");
    EXPECT_LT(steadyMs() - t0, 50);
    // Opening again starts afresh.
    bench.link.setActive(false);
    EXPECT_TRUE(bench.link.isLost());
}

TEST(SerialLink, AWriteOntoAPortThatHungUpMarksTheLinkLost) {
    TSerialBench<> bench;
    bench.open();
    bench.pty.closeMaster();
    bench.link.sendString("mttg05c1A");
    bench.link.flush();
    EXPECT_TRUE(bench.link.isLost());
    bench.link.setActive(true);  // opening again (whether it opens or not) forgets the loss
    EXPECT_FALSE(bench.link.isLost());
}

// A reply cannot come before its command has crossed the line: the read time-out counts from
// then. 256 settings writes take 2.4 s at 9600 bit/s; the read-back of the table after them
// gave up after 100 ms and found "no settings".
TEST(SerialLink, TheReadTimeOutCountsFromWhenWhatWasSentHasCrossedTheLine) {
    struct Row {
        int rate;
        size_t bytes;
        int lineMs;
    };
    for (const Row& row : {Row{9600, 480, 500}, Row{115200, 1440, 125}, Row{9600, 0, 0}}) {
        SCOPED_TRACE(row.rate);
        TSerialBench<> bench;
        bench.link.setBaudRate(row.rate);
        bench.open();
        bench.link.timeout = 100;
        const long long t0 = steadyMs();
        bench.link.sendString(std::string(row.bytes, 'x'));
        EXPECT_EQ(bench.link.readByte(), -1);
        const long long waited = steadyMs() - t0;
        EXPECT_GE(waited, row.lineMs + 100);
        EXPECT_LT(waited, row.lineMs + 350);
    }
}

TEST(SerialLink, ReadTimesOutOnTimeAndHandsOutALateByteAtOnce) {
    TSerialBench<> bench;
    bench.open();
    bench.link.timeout = 100;
    long long t0 = steadyMs();
    EXPECT_EQ(bench.link.readByte(), -1);
    const long long waited = steadyMs() - t0;
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 250);

    bench.link.timeout = 3000;
    long long sentAt = 0;
    std::thread ecu([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        sentAt = steadyMs();
        bench.pty.write("\xFF");
    });
    EXPECT_EQ(bench.link.readByte(), 0xFF);
    const long long handedOut = steadyMs();
    ecu.join();
    EXPECT_LT(handedOut - sentAt, 50);
}

// While the link waits for the port, the app handles its events (the windows repaint) every
// 25 ms or so, not once per CPU cycle and not never.
TEST(SerialLink, WaitingLetsTheAppHandleItsEvents) {
    struct TCountingWindow : TRecordingWindow {
        void processPendingEvents() override { ++rounds; }
        int rounds = 0;
    } window;
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    TFakeOperator<TFastClock> fake;
    TOperator op{fake.progress, fake.log, window, fake.prefs, fake.clock};
    TSerialCommunicator link(op);
    link.setActive(true);
    ASSERT_TRUE(link.isActive()) << link.openError();
    link.timeout = 250;
    EXPECT_EQ(link.readByte(), -1);
    EXPECT_GE(window.rounds, 250 / serial_link::eventSliceMs - 1);
    EXPECT_LE(window.rounds, 250 / serial_link::eventSliceMs * 3);

    window.rounds = 0;
    link.sendString(std::string(1 << 17, 'x'));  // nobody reads the far end
    EXPECT_GE(window.rounds, 250 / serial_link::eventSliceMs - 1);
    EXPECT_LE(window.rounds, 250 / serial_link::eventSliceMs * 3);
}

TEST(SerialLink, EchoesSentBytesInRedAndReceivedBytesInBlue) {
    TSerialBench<> bench;
    bench.open();
    bench.link.debugEcho = true;
    bench.link.sendByte(10);
    bench.link.sendByte(255);
    bench.link.sendString("mcd");
    bench.link.sendString("");
    bench.link.flush();
    EXPECT_EQ(bench.pty.read(5, 1000), "\n\xFFmcd");
    bench.pty.write("Hi");
    EXPECT_EQ(bench.link.readByte(), 'H');
    const auto log = bench.fake.log.entries();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].text, "0x0A");
    EXPECT_EQ(log[1].text, "0xFF");
    EXPECT_EQ(log[2].text, "mcd");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(log[i].color, sentColor);
    EXPECT_EQ(log[3].text, "H");
    EXPECT_EQ(log[3].color, receivedColor);
}

TEST(SerialLink, ChangingTheRateWaitsUntilTheOutputQueueIsEmpty) {
    TSerialBench<TSystemClock> bench;  // real 10 ms pauses: the far end drains in real time
    bench.open();
    fillOutput(bench);
    const int queued = SioTxQue(0);
    ASSERT_GT(queued, 0);

    std::string drained;
    std::thread ecu([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        drained = bench.pty.readUntilQuiet(200);
    });
    const long long t0 = steadyMs();
    bench.link.setBaudRate(19200);
    const long long waited = steadyMs() - t0;
    ecu.join();
    EXPECT_GE(waited, 290);
    EXPECT_EQ(SioTxQue(0), 0);
    EXPECT_EQ(bench.pty.outputSpeed(), static_cast<speed_t>(B19200));
    EXPECT_EQ(bench.link.getBaudRate(), 19200);
    EXPECT_EQ(drained.find_first_not_of('q'), std::string::npos);
    EXPECT_GE(drained.size(), static_cast<size_t>(queued));
}

// A stalled queue does not hold the change for ever, and the change is not made on top of it:
// the bytes would leave at the new rate, garbled.
TEST(SerialLink, AStalledOutputQueueDoesNotHoldTheRateChangeForEver) {
    TSerialBench<> bench;
    bench.open();
    fillOutput(bench);
    const long long t0 = steadyMs();
    bench.link.setBaudRate(38400);  // nobody ever reads the far end
    EXPECT_LT(steadyMs() - t0, 1000);
    const auto pauses = bench.fake.clock.pauses();
    ASSERT_FALSE(pauses.empty());
    for (int p : pauses) EXPECT_EQ(p, 10);
    EXPECT_GE(static_cast<int>(pauses.size()) * 10, serial_link::txStallLimitMs);
    EXPECT_EQ(bench.pty.outputSpeed(), static_cast<speed_t>(B9600));
    EXPECT_EQ(bench.link.getBaudRate(), 9600);
    EXPECT_EQ(bench.link.lostReason(), std::string(serial_link::rateStalledText) +
                                           "; the bit rate could not be changed to 38400 bit/s");
}

TEST(SerialLink, ARateThePortRefusesLosesTheLinkInsteadOfBeingRecorded) {
    TSerialBench<> bench;
    bench.open();
    bench.link.setBaudRate(12345);
    EXPECT_EQ(bench.link.getBaudRate(), 9600);
    EXPECT_EQ(bench.link.lostReason(), "the bit rate could not be changed to 12345 bit/s: the serial port does not offer it");
}

TEST(SerialLink, SendingGivesUpOnAPortThatTakesNothingOrHasFailed) {
    {
        // Never opened: the first refusal ends the send, echoed once.
        TFakeOperator<TFastClock> fake;
        TSerialCommunicator link(fake.op);
        link.debugEcho = true;
        const long long t0 = steadyMs();
        link.sendString("Man");
        link.sendByte(0x41);
        EXPECT_LT(steadyMs() - t0, 50);
        EXPECT_EQ(fake.log.all(), "Man0x41");
    }
    {
        // The far end reads nothing: the send stops after `timeout` without progress.
        TSerialBench<> bench;
        bench.open();
        bench.link.timeout = 200;
        const long long t0 = steadyMs();
        bench.link.sendString(std::string(1 << 17, 'x'));
        const long long waited = steadyMs() - t0;
        EXPECT_GE(waited, 200);
        EXPECT_LT(waited, 1000);
        // What was not sent is missing from the command: the link is lost, not quietly passed.
        EXPECT_NE(bench.link.lostReason().find("bytes were not sent"), std::string::npos) << bench.link.lostReason();
    }
    {
        // The device vanished (EIO): at once, whatever the time-out.
        TSerialBench<> bench;
        bench.open();
        bench.link.timeout = 5000;
        bench.pty.closeMaster();
        const long long t0 = steadyMs();
        bench.link.sendString(std::string(1 << 17, 'x'));
        bench.link.sendByte(1);
        EXPECT_LT(steadyMs() - t0, 100);
    }
}

TEST(SerialLink, DestroyingAnOpenLinkClosesThePort) {
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    TFakeOperator<TFastClock> fake;
    const int before = openDescriptors();
    {
        TSerialCommunicator link(fake.op);
        link.setActive(true);
        ASSERT_TRUE(link.isActive());
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(SioTxQue(0), SioErrNotOpen);
    TSerialCommunicator next(fake.op);  // the device is free for the next link
    next.setActive(true);
    EXPECT_TRUE(next.isActive()) << next.openError();
}

TEST(SerialLink, ClosingAfterAChangeOfPortClosesThePortThatWasOpened) {
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    TFakeOperator<TFastClock> fake;
    TSerialCommunicator link(fake.op);
    link.setActive(true);
    ASSERT_TRUE(link.isActive());
    link.setPort("2");
    link.setActive(false);
    EXPECT_EQ(SioTxQue(0), SioErrNotOpen);
}

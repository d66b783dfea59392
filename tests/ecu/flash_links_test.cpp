// Firmware flashing and settings import over the real links, with the scripted ECU on the far
// end of a pseudo-terminal or a loopback TCP connection.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "link/socketcommunicator.h"
#include "support/fakes.h"
#include "support/peerthread.h"
#include "support/realpeers.h"
#include "support/scriptedlink.h"
#include "support/skips.h"
#include "support/tempdir.h"

namespace {

std::unique_ptr<TIHexFile> imageOf(size_t size) {
    auto image = std::make_unique<TIHexFile>(1, 1);
    image->image.resize(size);
    for (size_t i = 0; i < size; ++i) image->image[i] = static_cast<uint8_t>(i * 13 + 1);
    image->imageSize = image->extent = image->dataBytes = static_cast<uint32_t>(size);
    return image;
}

struct FlashOverLinks : ::testing::Test {
    TFakeOperator<TFastClock> fake;
    TBootPeer peer;
    TTempDir dir;

    void SetUp() override {
        peer.running.settings = {{"fan_temp", 90}, {"fan_hyst", 4}, {"old_only", 7}};
        peer.afterFlash.version = "1.1.0";
        peer.afterFlash.settings = {{"new_only", 1}, {"fan_hyst", 2}, {"fan_temp", 3}};
        peer.refuseBlock[2] = 1;
    }

    void flashAndCheck(TECU& ecu, const std::string& code, TPeerThread& thread) {
        ecu.backupFolder = dir.path;
        ecu.setOnline(true);
        ASSERT_TRUE(ecu.isOnline());
        ASSERT_TRUE(ecu.connect());
        auto image = imageOf(1000);
        ASSERT_TRUE(ecu.flashFirmware(*image));
        ecu.setOnline(false);
        thread.stop();

        EXPECT_EQ(peer.entryCode, code);
        EXPECT_EQ(peer.addresses, (std::vector<int>{0, 128, 256, 256, 384}));
        ASSERT_EQ(peer.flash.size(), 4u);
        for (size_t at = 0; at < 1024; ++at)
            ASSERT_EQ(peer.flash[static_cast<int>(at / 256)][at % 256], at < 1000 ? image->image[at] : 0xFF) << at;
        EXPECT_EQ(peer.written.at(0), 1);   // new name: the firmware's value
        EXPECT_EQ(peer.written.at(1), 4);   // moved names: the operator's values
        EXPECT_EQ(peer.written.at(2), 90);
        EXPECT_EQ(peer.stores, 1);
        EXPECT_EQ(ecu.versionText, "1.1.0");
        EXPECT_EQ(ecu.lastCarryOver.droppedNames, std::vector<std::string>{"old_only"});
        const auto pauses = fake.clock.pauses();
        EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 2500), 1);
    }
};

TEST_F(FlashOverLinks, OverAPseudoTerminal) {
    VELTRACE_SKIP_ON_WINDOWS("a pseudo-terminal as the serial port");
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    fake.prefs.values = {{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", "38400"}};
    TPeerThread thread(peer, [&] { return pty.duplicateMaster(); });
    TECU ecu(fake.op, realLinkFactory());
    flashAndCheck(ecu, "19", thread);
    // The serial link greeted the new firmware and told it the former rate again.
    const auto& c = peer.commands;
    auto e = std::find(c.begin(), c.end(), "E");
    ASSERT_NE(e, c.end());
    EXPECT_EQ(std::vector<std::string>(e + 1, e + 4), (std::vector<std::string>{"Man", "mcB19", "mdV"}));
}

TEST_F(FlashOverLinks, OverLoopbackTcp) {
    TLoopbackServer server;
    fake.prefs.values = {{"com.Type", "network"}, {"comm.hostname", "127.0.0.1"},
                         {"comm.portnum", std::to_string(server.port)}};
    TPeerThread thread(peer, [&] { return server.accept(5000); });
    TECU ecu(fake.op, realLinkFactory());
    flashAndCheck(ecu, "67", thread);
    const auto& c = peer.commands;
    auto e = std::find(c.begin(), c.end(), "E");
    ASSERT_NE(e, c.end());
    EXPECT_EQ(*(e + 1), "mdV");  // no greeting on the network link
}

TEST_F(FlashOverLinks, ImportOverLoopbackTcp) {
    TLoopbackServer server;
    fake.prefs.values = {{"com.Type", "network"}, {"comm.hostname", "127.0.0.1"},
                         {"comm.portnum", std::to_string(server.port)}};
    TPeerThread thread(peer, [&] { return server.accept(5000); });
    TECU ecu(fake.op, realLinkFactory());
    ecu.setOnline(true);
    ASSERT_TRUE(ecu.isOnline());
    const std::string file = dir.path + "/t.mtt";
    std::ofstream(file, std::ios::binary) << "line one\r\nline two\r\n";
    const int64_t start = fake.clock.nowMs();
    ASSERT_TRUE(ecu.importSettings(file));
    EXPECT_TRUE(fake.window.messages().empty());
    ecu.setOnline(false);
    thread.stop();
    EXPECT_EQ(peer.imported, "line oneline two");
    EXPECT_GE(fake.clock.nowMs() - start, 20);  // two 10 ms pauses
}

// The scripts of the conversations below: a refused block on the way, a new layout after.
void script(TBootPeer& peer) {
    peer.running.settings = {{"fan_temp", 90}, {"fan_hyst", 4}};
    peer.afterFlash.settings = {{"fan_hyst", 2}, {"fan_temp", 3}, {"new_only", 1}};
    peer.refuseBlock[1] = 1;
}

// Online, a flash, an import, offline: everything the tool says in a session.
void session(TECU& ecu, const std::string& folder) {
    ecu.backupFolder = folder;
    ecu.setOnline(true);
    ASSERT_TRUE(ecu.connect());
    ASSERT_TRUE(ecu.flashFirmware(*imageOf(1000)));
    const std::string mtt = folder + "/t.mtt";
    std::ofstream(mtt, std::ios::binary) << "a=1\nb=2\n";
    ASSERT_TRUE(ecu.importSettings(mtt));
    ecu.setOnline(false);
}

// Notes the socket's send calls when each block starts and when the bootloader is left.
class TBlockSendsProgress : public TRecordingProgress {
public:
    void setStatusText(const std::string& text) override {
        if (socket && (text.rfind("Programming block ", 0) == 0 || text == "Resetting ECU..."))
            atBlockStart.push_back(socket->sendCalls());
        TRecordingProgress::setStatusText(text);
    }
    TClientSocket* socket = nullptr;
    std::vector<size_t> atBlockStart;
};

// Ten times faster than real time: the network link's 2.5 s of silence that ends every
// settings download pass in a quarter of a second.
class TRushingClock : public TFastClock {
public:
    int64_t nowMs() override { return TFastClock::nowMs() * 10; }
};

// A session over a real link with `peer` on the far end of a pseudo-terminal (38400 bit/s
// stored) or a loopback connection; the socket's send calls are noted per block.
void sessionOverRealLink(bool serial, TBootPeer& peer, TBlockSendsProgress& progress, const std::string& folder) {
    TFakeOperator<TFastClock> fastFake;
    TFakeOperator<TRushingClock> rushingFake;
    TClock& clock = serial ? static_cast<TClock&>(fastFake.clock) : rushingFake.clock;
    TMemoryPreferences& prefs = fastFake.prefs;
    TOperator op{progress, fastFake.log, fastFake.window, prefs, clock};
    std::optional<TPty> pty;
    std::optional<TSerialPortsSetting> ports;
    std::optional<TLoopbackServer> server;
    std::function<int()> attach;
    if (serial) {
        pty.emplace();
        ports.emplace(pty->path);
        prefs.values = {{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", "38400"}};
        attach = [&] { return pty->duplicateMaster(); };
    } else {
        server.emplace();
        prefs.values = {{"com.Type", "network"}, {"comm.hostname", "127.0.0.1"},
                        {"comm.portnum", std::to_string(server->port)}};
        attach = [&] { return server->accept(5000); };
    }
    TPeerThread thread(peer, attach);
    TECU ecu(op, realLinkFactory());
    if (!serial) progress.socket = &dynamic_cast<TSocketCommunicator&>(*ecu.link).clientSocket();
    session(ecu, folder);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the goodbye's last bytes
    thread.stop();
}

// The bytes on the wire are those of the conversation sent text by text and byte by byte (the
// scripted link, which holds nothing back), over a serial and a network link alike.
TEST(WholeCommandWrites, PutTheSameBytesOnTheWire) {
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "pty" : "tcp");
        if (serial && noPseudoTerminals) continue;
        TTempDir dir;
        TBootPeer expected;
        script(expected);
        TFakeOperator<> reference;
        reference.prefs.values = {{"com.Type", serial ? "serial" : "network"}};
        TECU byByte(reference.op, [&](TLinkKind kind, TOperator& op) {
            auto l = std::make_unique<TScriptedLink>(op, reference.clock, kind == TLinkKind::Serial);
            l->rate = serial ? 38400 : 32000;
            l->responder = [&](const std::string& bytes) { return expected.exchange(bytes); };
            return l;
        });
        session(byByte, dir.path);

        TBootPeer peer;
        script(peer);
        TBlockSendsProgress progress;
        sessionOverRealLink(serial, peer, progress, dir.path);
        EXPECT_EQ(peer.flash, expected.flash);
        const auto differ = std::mismatch(peer.received.begin(), peer.received.end(), expected.received.begin(),
                                          expected.received.end());
        EXPECT_TRUE(peer.received == expected.received)
            << peer.received.size() << " bytes, not " << expected.received.size() << "; they differ from byte "
            << (differ.first - peer.received.begin());
    }
}

TEST(WholeCommandWrites, EachBlockLeavesInAtMostThreeSends) {
    TTempDir dir;
    TBootPeer peer;
    script(peer);
    peer.refuseBlock.clear();
    TBlockSendsProgress progress;
    sessionOverRealLink(false, peer, progress, dir.path);
    ASSERT_EQ(peer.flash.size(), 4u);
    ASSERT_EQ(progress.atBlockStart.size(), 5u);
    for (size_t j = 0; j + 1 < progress.atBlockStart.size(); ++j)
        EXPECT_LE(progress.atBlockStart[j + 1] - progress.atBlockStart[j], 3u) << "block " << j;
}

// A clock whose pauses first look at what the far end has received by then.
class TPeekingClock : public TFastClock {
public:
    void sleepMs(int ms) override {
        if (onPause) onPause(ms);
        TFastClock::sleepMs(ms);
    }
    std::function<void(int)> onPause;
};

// No pause starts with its command still in the tool: "mcB" is out before its 500 ms, each
// line of an import before its 10 ms.
TEST(WholeCommandWrites, EveryPauseStartsWithTheCommandOut) {
    VELTRACE_SKIP_ON_WINDOWS("a pseudo-terminal as the serial port");
    TBootPeer peer;
    peer.running.settings = {{"fan_temp", 90}};
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    TFakeOperator<TPeekingClock> fake;
    fake.prefs.values = {{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", "38400"}};
    TPeerThread thread(peer, [&] { return pty.duplicateMaster(); });
    std::vector<std::pair<int, std::string>> seen;  // pause, the last bytes received before it
    fake.clock.onPause = [&](int ms) {
        // The far end's thread takes a moment to read what the kernel holds.
        std::string before, now = thread.with([](TBootPeer& p) { return p.received; });
        for (int i = 0; i < 50 && now != before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            before = now;
            now = thread.with([](TBootPeer& p) { return p.received; });
        }
        seen.emplace_back(ms, now.substr(now.size() < 5 ? 0 : now.size() - 5));
    };
    TTempDir dir;
    TECU ecu(fake.op, realLinkFactory());
    ecu.setOnline(true);
    ASSERT_TRUE(ecu.connect());
    const std::string mtt = dir.path + "/t.mtt";
    std::ofstream(mtt, std::ios::binary) << "a=101\nb=202\n";
    ASSERT_TRUE(ecu.importSettings(mtt));
    fake.clock.onPause = nullptr;
    ecu.setOnline(false);
    thread.stop();
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{500, "mcB19"}, {10, "a=101"}, {10, "b=202"}}));
}

}  // namespace

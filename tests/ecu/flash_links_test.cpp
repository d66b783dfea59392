// Firmware flashing and settings import over the real links, with the scripted ECU on the far
// end of a pseudo-terminal or a loopback TCP connection.

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/peerthread.h"
#include "support/realpeers.h"
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
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    fake.prefs.values = {{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", "38400"}};
    TPeerThread thread(peer, [&] { return ::dup(pty.master); });
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

}  // namespace

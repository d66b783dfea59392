#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "platform/convert.h"
#include "platform/files.h"
#include "support/bootpeer.h"
#include "support/envsetting.h"
#include "support/scriptedlink.h"
#include "support/tempdir.h"

namespace {

using Strings = std::vector<std::string>;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct FlashTest : ::testing::Test {
    TFakeOperator<> fake;
    TBootPeer peer;
    TScriptedLink* link = nullptr;
    std::unique_ptr<TECU> ecu;
    TTempDir dir;

    void make(bool serial, int rate) {
        fake.prefs.values["com.Type"] = serial ? "serial" : "network";
        ecu = std::make_unique<TECU>(fake.op, [this, rate](TLinkKind kind, TOperator& op) {
            auto l = std::make_unique<TScriptedLink>(op, fake.clock, kind == TLinkKind::Serial);
            l->rate = rate;
            l->active = true;
            l->responder = [this](const std::string& bytes) { return peer.exchange(bytes); };
            link = l.get();
            return l;
        });
        ecu->backupFolder = dir.path + "/backups";
        // The table the operator had when going online.
        peer.running.settings = {{"kept", 11}, {"moved", 22}, {"dropped", 33}};
        peer.afterFlash.version = "1.1.0";
        peer.afterFlash.settings = {{"kept", 1}, {"added", 2}, {"other", 3}, {"moved", 4}};
        ASSERT_TRUE(ecu->connect());
        link->wire.clear();
        link->sentBytes.clear();
        fake.clock.slept.clear();
        fake.progress.forget();
        fake.window.forget();
        peer.commands.clear();
    }

    // Other tables before and after the flash: going online again downloads the first.
    void relayout(const std::vector<std::pair<std::string, uint8_t>>& before,
                  const std::vector<std::pair<std::string, uint8_t>>& after) {
        peer.running.settings = before;
        peer.afterFlash.settings = after;
        ASSERT_TRUE(ecu->connect());
        link->wire.clear();
        link->sentBytes.clear();
        fake.progress.forget();
        peer.commands.clear();
    }

    std::unique_ptr<TIHexFile> imageOf(size_t size) {
        auto image = std::make_unique<TIHexFile>(1, 1);
        image->image.resize(size);
        for (size_t i = 0; i < size; ++i) image->image[i] = static_cast<uint8_t>(i * 7 + 3);
        image->imageSize = static_cast<uint32_t>(size);
        image->extent = image->dataBytes = static_cast<uint32_t>(size);
        return image;
    }

    int countSent(const std::string& text) const {
        int n = 0;
        for (const auto& s : link->sent()) n += s == text;
        return n;
    }
};

TEST_F(FlashTest, FlashWritesEveryBlockAndCarriesSettingsOverByName) {
    make(false, 32000);
    link->debugEcho = true;
    auto image = imageOf(600);  // two whole blocks and part of a third
    ASSERT_TRUE(ecu->flashFirmware(*image));

    EXPECT_EQ(peer.entryCode, "67");  // a TCP port outside the table
    EXPECT_TRUE(peer.erased);
    EXPECT_EQ(peer.addresses, (std::vector<int>{0, 128, 256}));
    ASSERT_EQ(peer.flash.size(), 3u);
    for (int b = 0; b < 3; ++b)
        for (int k = 0; k < 256; ++k) {
            const size_t at = static_cast<size_t>(b) * 256 + k;
            ASSERT_EQ(peer.flash[b][k], at < 600 ? image->image[at] : 0xFF) << b << ":" << k;
        }

    // Carried over by name: a kept and a moved name keep the operator's value, a new name the
    // firmware's; the dropped name is gone.
    EXPECT_EQ(ecu->versionText, "1.1.0");
    EXPECT_EQ(ecu->settings->getName(3), "moved");
    EXPECT_EQ(peer.written.at(0), 11);
    EXPECT_EQ(peer.written.at(1), 2);
    EXPECT_EQ(peer.written.at(2), 3);
    EXPECT_EQ(peer.written.at(3), 22);
    EXPECT_EQ(peer.written.size(), 256u);
    EXPECT_EQ(peer.stores, 1);
    EXPECT_EQ(ecu->lastCarryOver.kept, 2);
    EXPECT_EQ(ecu->lastCarryOver.newNames, (Strings{"added", "other"}));
    EXPECT_EQ(ecu->lastCarryOver.droppedNames, Strings{"dropped"});

    // On the network link there is no greeting after the reset.
    const auto sent = link->sent();
    auto e = std::find(sent.begin(), sent.end(), "E");
    ASSERT_NE(e, sent.end());
    EXPECT_EQ(*(e + 1), "mdV");

    const auto statuses = fake.progress.statuses();
    EXPECT_EQ(statuses.front(), "Initializing...");
    EXPECT_EQ(statuses[1].rfind("Settings backed up to " + dir.path + "/backups" + folderSeparator + "settings-", 0), 0u);
    const Strings middle(statuses.begin() + 2, statuses.begin() + 9);
    EXPECT_EQ(middle, (Strings{"Erasing flash...", "Programming block 1 of 3", "Programming block 2 of 3",
                               "Programming block 3 of 3", "Resetting ECU...", "Uploading MAP...",
                               "Saving Configuration..."}));
    EXPECT_EQ(statuses.back(), "Carried over 2 settings; 2 new, 1 no longer in the firmware");
    const auto positions = fake.progress.positions();
    EXPECT_EQ(Strings(1, std::to_string(positions[0])), Strings{"0"});
    EXPECT_EQ(std::vector<int>(positions.begin() + 1, positions.begin() + 4), (std::vector<int>{16, 33, 50}));
    EXPECT_LE(positions.back(), 74);
    EXPECT_EQ(fake.progress.calls().back(), "close");
    EXPECT_EQ(fake.window.calls().front(), "activity:on");
    EXPECT_EQ(fake.window.calls().back(), "repaint");

    EXPECT_TRUE(link->debugEcho);  // given back
    EXPECT_EQ(link->timeout, 1000);
    // The bootloader conversation was not echoed; the backup and the report were logged.
    const std::string logged = fake.log.all();
    EXPECT_EQ(logged.find("Expect: AVREFI1"), std::string::npos);
    EXPECT_NE(logged.find("No longer in this firmware: dropped"), std::string::npos);

    // The backup holds the table as it was before the flash; the report lies next to it.
    EXPECT_EQ(readFile(ecu->lastCarryOver.backupFile), "0\tkept\t11\n1\tmoved\t22\n2\tdropped\t33\n");
    const std::string report = readFile(ecu->lastCarryOver.reportFile);
    EXPECT_NE(report.find("New in this firmware (firmware's value kept): added, other"), std::string::npos);
    EXPECT_EQ(std::filesystem::path(ecu->lastCarryOver.reportFile).parent_path(),
              std::filesystem::path(ecu->lastCarryOver.backupFile).parent_path());
}

TEST_F(FlashTest, BlockAddressesAndChecksumsOnTheWire) {
    make(false, 32000);
    auto image = std::make_unique<TIHexFile>(1, 1);
    image->image.assign(1024, 0x00);
    std::fill(image->image.begin(), image->image.begin() + 512, 0xFF);
    image->imageSize = 1024;
    image->extent = image->dataBytes = 1024;
    ASSERT_TRUE(ecu->flashFirmware(*image));
    const std::string& w = link->sentBytes;
    // Each block: 'A' hi lo, "Dk", 0, 256 data bytes, sum hi lo, xor hi lo.
    const size_t start = w.find(std::string("A\x00\x00", 3));
    ASSERT_NE(start, std::string::npos);
    auto tail = [&](int block) {
        const size_t at = start + static_cast<size_t>(block) * (3 + 3 + 256 + 4);
        return w.substr(at, 3) + "|" + w.substr(at + 3 + 3 + 256, 4);
    };
    EXPECT_EQ(tail(0), std::string("A\x00\x00|\xFF\x80\x00\x00", 8));
    EXPECT_EQ(tail(1), std::string("A\x00\x80|\x00\x00\x00\x80", 8));
    EXPECT_EQ(tail(2), std::string("A\x01\x00|\x01\x00\x01\x00", 8));
    EXPECT_EQ(tail(3), std::string("A\x01\x80|\x01\x80\x01\x80", 8));
}

TEST_F(FlashTest, EntryCodeFollowsTheLinkRate) {
    const std::vector<std::tuple<bool, int, std::string>> cases = {
        {true, 9600, "67"}, {true, 19200, "33"}, {true, 38400, "19"}, {true, 57600, "10"},
        {true, 115200, "08"}, {true, 4800, "67"}, {false, 19200, "33"}, {false, 32000, "67"}};
    for (const auto& [serial, rate, code] : cases) {
        peer = TBootPeer();
        make(serial, rate);
        auto image = imageOf(256);
        ASSERT_TRUE(ecu->flashFirmware(*image));
        EXPECT_EQ(peer.entryCode, code) << rate;
        EXPECT_EQ(link->sent()[0], "Mancb" + code + "cb");
    }
}

TEST_F(FlashTest, SerialLinkGreetsAtNinetySixHundredAndReturnsToItsRate) {
    make(true, 57600);
    auto image = imageOf(256);
    ASSERT_TRUE(ecu->flashFirmware(*image));
    const auto& wire = link->wire;
    auto e = std::find(wire.begin(), wire.end(), "tx:E");
    ASSERT_NE(e, wire.end());
    EXPECT_EQ(Strings(e, e + 6), (Strings{"tx:E", "rate:9600", "tx:Man", "tx:mcB10", "rate:57600", "tx:mdV"}));
    EXPECT_EQ(fake.clock.slept, (std::vector<int>{100, 500, 100, 1000}));  // the last: the store
    EXPECT_TRUE(fake.window.messages().empty());
}

// A new firmware that does not start leaves the bootloader listening: a goodbye would erase the
// chip again ("e" of "bye") and the settings writes would be noise to it.
TEST_F(FlashTest, ABootloaderLeftListeningGetsNoGoodbyeAndNoWrites) {
    for (const bool serial : {true, false}) {
        peer = TBootPeer();
        make(serial, serial ? 57600 : 32000);
        peer.firmwareStarts = false;
        auto image = imageOf(256);
        try {
            ecu->flashFirmware(*image);
            ADD_FAILURE() << "no error";
        } catch (const EFlashError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "The firmware was written, but it did not start: the ECU answers only through its bootloader "
                      "and must be flashed again. Your settings are saved in " + ecu->lastCarryOver.backupFile);
        }
        EXPECT_TRUE(ecu->needsFirmware);
        const auto sent = link->sent();
        const auto e = std::find(sent.begin(), sent.end(), "E");
        ASSERT_NE(e, sent.end());
        for (auto it = e; it != sent.end(); ++it) EXPECT_TRUE(*it == "E" || *it == "Man" || *it == "mdV" || *it == "mcd") << *it;
        EXPECT_TRUE(peer.written.empty());
        ecu->setOnline(false);
        EXPECT_EQ(link->wire.back(), "close");
        EXPECT_NE(link->wire[link->wire.size() - 2], "tx:bye");
        EXPECT_EQ(std::count(peer.commands.begin(), peer.commands.end(), "e"), 1) << serial;
        EXPECT_TRUE(fake.window.messages().empty());
    }
}

TEST_F(FlashTest, SyncAndIdentifyTries) {
    make(false, 32000);
    peer.silentSyncs = 5;
    peer.silentIdentifies = 5;
    auto image = imageOf(256);
    ASSERT_TRUE(ecu->flashFirmware(*image));  // answered the sixth time
    EXPECT_EQ(countSent("p"), 6);
    EXPECT_EQ(countSent("S"), 6);

    peer = TBootPeer();
    make(false, 32000);
    peer.silentSyncs = 100;
    link->debugEcho = true;
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_EQ(std::string(e.what()), "Error syncing ECU. Your settings are saved in " + ecu->lastCarryOver.backupFile);
    }
    EXPECT_EQ(countSent("p"), 7);  // the seventh is followed by the error at once
    EXPECT_EQ(countSent("S"), 0);
    EXPECT_EQ(link->sent().back(), "p");
    EXPECT_TRUE(link->debugEcho);
    EXPECT_EQ(fake.progress.calls().back(), "close");

    peer = TBootPeer();
    make(false, 32000);
    peer.silentIdentifies = 100;
    EXPECT_THROW(
        {
            try {
                ecu->flashFirmware(*image);
            } catch (const EFlashError& e) {
                EXPECT_EQ(std::string(e.what()),
                          "Unable to determine ECU type. Your settings are saved in " + ecu->lastCarryOver.backupFile);
                throw;
            }
        },
        EFlashError);
    EXPECT_EQ(countSent("S"), 7);
    EXPECT_TRUE(peer.flash.empty());
}

TEST_F(FlashTest, RefusedBlockIsSentAgainFromItsAddressAfterAPause) {
    make(false, 32000);
    peer.refuseBlock[1] = 2;
    auto image = imageOf(768);
    ASSERT_TRUE(ecu->flashFirmware(*image));
    EXPECT_EQ(peer.addresses, (std::vector<int>{0, 128, 128, 128, 256}));
    EXPECT_EQ(fake.clock.slept, (std::vector<int>{2500, 2500, 1000}));
    const auto statuses = fake.progress.statuses();
    const std::string error = "ECU Checksum Error!?" + std::to_string(peer.refusedSums[0].second);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), error), 2);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Programming block 2 of 3"), 3);
    EXPECT_EQ(peer.flash.size(), 3u);
}

TEST_F(FlashTest, TheEraseIsAwaitedForItsOwnBoundOnEveryLink) {
    // The CR after 5 s (past the network link's own wait) still answers the erase; one that
    // never comes stops the flash before any block.
    for (const int crAfterMs : {5000, -1}) {
        SCOPED_TRACE(crAfterMs);
        peer = TBootPeer();
        make(false, 32000);
        link->responder = [&](const std::string& bytes) {
            std::string reply = peer.exchange(bytes);
            if (bytes != "e") return reply;
            if (crAfterMs >= 0) link->feed(reply, crAfterMs);
            return std::string();
        };
        auto image = imageOf(768);
        if (crAfterMs >= 0) {
            ASSERT_TRUE(ecu->flashFirmware(*image));
            EXPECT_EQ(peer.addresses, (std::vector<int>{0, 128, 256}));
            continue;
        }
        try {
            ecu->flashFirmware(*image);
            ADD_FAILURE() << "no error";
        } catch (const EFlashError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "The ECU did not report its flash erased within 15 s: nothing was programmed. The ECU waits in "
                      "its bootloader; flash it again. Your settings are saved in " + ecu->lastCarryOver.backupFile);
        }
        EXPECT_TRUE(peer.addresses.empty());
        EXPECT_EQ(link->sent().back(), "e");
    }
}

TEST_F(FlashTest, ARepliesDriftIsCaughtAndTheBlockInDoubtGoesAgain) {
    // The first block's CR comes twice: the second copy is found before block 2's address, so
    // block 1 goes again before the flash moves on.
    make(false, 32000);
    int blocks = 0;
    link->responder = [&](const std::string& bytes) {
        std::string reply = peer.exchange(bytes);
        if (reply == "\r" && bytes.size() == 1 && peer.flash.size() == 1 && blocks++ == 0) reply += "\r";
        return reply;
    };
    auto image = imageOf(768);
    ASSERT_TRUE(ecu->flashFirmware(*image));
    EXPECT_EQ(peer.addresses, (std::vector<int>{0, 0, 128, 256}));
    EXPECT_EQ(peer.flash.size(), 3u);
}

TEST_F(FlashTest, RetriesAreBounded) {
    make(false, 32000);
    peer.refuseBlock[1] = 1000;
    auto image = imageOf(768);
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_EQ(std::string(e.what()), "ECU did not accept block 2 of 3. Your settings are saved in " +
                                             ecu->lastCarryOver.backupFile);
    }
    EXPECT_EQ(peer.refusedSums.size(), 5u);  // the block went out five times
    EXPECT_EQ(fake.clock.slept, std::vector<int>(4, 2500));
    EXPECT_EQ(fake.progress.calls().back(), "close");

    peer = TBootPeer();
    make(false, 32000);
    peer.silentAddress[0] = 1000;
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("ECU did not accept block 1 of 3. ", 0), 0u) << e.what();
    }
    EXPECT_EQ(peer.addresses.size(), 10u);

    peer = TBootPeer();
    make(false, 32000);
    peer.silentAddress[2] = 9;  // the tenth address is answered
    ASSERT_TRUE(ecu->flashFirmware(*image));
    EXPECT_EQ(peer.flash.size(), 3u);
}

TEST_F(FlashTest, LostLinkEndsTheFlash) {
    make(false, 32000);
    size_t bytes = 0;
    link->responder = [&](const std::string& b) {
        bytes += b.size();
        if (bytes > 400) link->active = false;
        return link->active ? peer.exchange(b) : std::string();
    };
    auto image = imageOf(1024);
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_EQ(std::string(e.what()), "Lost connection with ECU at block 2 of 4: the link is closed. Your "
                                         "settings are saved in " + ecu->lastCarryOver.backupFile);
    }
    EXPECT_EQ(fake.progress.calls().back(), "close");
}

TEST_F(FlashTest, OversizeImageIsRefusedWithNothingSent) {
    make(false, 32000);
    auto image = imageOf(131073);
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_STREQ(e.what(), "Firmware image too large: 131073 bytes (the ECU takes at most 131072)");
    }
    EXPECT_TRUE(link->wire.empty());
    EXPECT_EQ(fake.progress.calls().back(), "close");

    auto empty = imageOf(8192);
    empty->dataBytes = 0;  // a file of records without data bytes
    try {
        ecu->flashFirmware(*empty);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_STREQ(e.what(), "Firmware image holds no data");
    }
    EXPECT_TRUE(link->wire.empty());

    auto largest = imageOf(131072);
    ASSERT_TRUE(ecu->flashFirmware(*largest));
    EXPECT_EQ(peer.addresses.back(), 511 * 128);
}

TEST_F(FlashTest, BackupThatCannotBeWrittenStopsTheFlashBeforeAnythingIsSent) {
    make(false, 32000);
    std::ofstream(dir.path + "/blocked") << "a file where the folder should be";
    ecu->backupFolder = dir.path + "/blocked/backups";
    auto image = imageOf(256);
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_NE(std::string(e.what()).find(dir.path + "/blocked/backups"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(link->wire.empty());

    // Two flashes in the same second still get two backups.
    ecu->backupFolder = dir.path + "/b";
    ASSERT_TRUE(ecu->flashFirmware(*image));
    const std::string first = ecu->lastCarryOver.backupFile;
    ASSERT_TRUE(ecu->flashFirmware(*image));
    EXPECT_NE(ecu->lastCarryOver.backupFile, first);
}

TEST_F(FlashTest, BackupGoesToTheUserDataFolderByDefault) {
    make(false, 32000);
    ecu->backupFolder.clear();
#ifdef _WIN32
    const std::string folder = dir.path + "\\local\\Harnwick\\Veltrace\\backups";
    TEnvSetting data("LOCALAPPDATA", dir.path + "\\local");
#else
    const std::string folder = dir.path + "/xdg/Harnwick/Veltrace/backups";
    TEnvSetting data("XDG_DATA_HOME", dir.path + "/xdg");
#endif
    auto image = imageOf(256);
    ASSERT_TRUE(ecu->flashFirmware(*image));
    EXPECT_EQ(ecu->lastCarryOver.backupFile.rfind(folder, 0), 0u) << ecu->lastCarryOver.backupFile;
}

TEST_F(FlashTest, SilentNewFirmwareGetsNoSettingsWritten) {
    make(false, 32000);
    peer.afterFlash.settings.clear();
    auto image = imageOf(256);
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_NE(std::string(e.what()).find(ecu->lastCarryOver.backupFile), std::string::npos);
    }
    EXPECT_TRUE(peer.written.empty());
    EXPECT_EQ(peer.stores, 0);
    EXPECT_EQ(ecu->settings->getName(0), "kept");  // the table still describes the old layout
}

}  // namespace

namespace {

// The bootloader takes the "e" of "bye" for its erase command: while it listens, going off line
// closes the link without the goodbye.
TEST_F(FlashTest, NoGoodbyeIntoAListeningBootloader) {
    make(false, 32000);
    peer.silentSyncs = 100;
    auto image = imageOf(256);
    EXPECT_THROW(ecu->flashFirmware(*image), EFlashError);
    link->wire.clear();
    ecu->setOnline(false);
    EXPECT_EQ(link->wire, Strings{"close"});

    peer = TBootPeer();
    make(true, 9600);
    ASSERT_TRUE(ecu->flashFirmware(*image));  // left the bootloader: the goodbye comes again
    link->wire.clear();
    ecu->setOnline(false);
    EXPECT_EQ(link->wire, (Strings{"tx:mcB67", "rate:9600", "tx:bye", "close"}));

    peer = TBootPeer();
    peer.bootloaderOnly = true;
    make(true, 9600);
    EXPECT_TRUE(ecu->needsFirmware);
    ecu->setOnline(false);
    EXPECT_EQ(link->wire, Strings{"close"});
    EXPECT_FALSE(peer.erased);
}

}  // namespace

namespace {

// The new firmware names its settings; a slot past its last line keeps the value it held and is
// written back so (clearing the whole table wrote such slots as 0).
TEST_F(FlashTest, SlotsPastTheNewTableKeepTheirValuesButNotTheirNames) {
    make(false, 32000);
    relayout({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}}, {{"b", 20}, {"a", 10}});
    ecu->settings->setValue(200, 42);
    auto image = imageOf(256);
    ASSERT_TRUE(ecu->flashFirmware(*image));
    const std::map<int, uint8_t> expected = {{0, 2}, {1, 1}, {2, 3}, {3, 4}, {4, 5}, {5, 0}, {200, 42}};
    for (const auto& [slot, value] : expected) EXPECT_EQ(peer.written.at(slot), value) << slot;
    EXPECT_EQ(ecu->settings->getName(2), "");
    EXPECT_EQ(ecu->settings->getValue(4), 5);
    EXPECT_EQ(ecu->lastCarryOver.droppedNames, (Strings{"c", "d", "e"}));
}

// Writes await no reply: only the table read back after "mcs" tells what the new firmware holds.
TEST_F(FlashTest, WhatTheEcuDidNotTakeIsReportedNeverCarriedOver) {
    struct Case {
        std::string trigger;  // the text at which the ECU stops taking writes, or drops the link
        bool drop;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {"mttg01", false, "The firmware was written, but the ECU does not hold the settings written to it: "
                               "moved (slot 3) holds 4, not 22"},
             {"mttg05", true, "Lost connection with ECU while writing the settings (from slot 5 on the ECU did not "
                              "receive them, and over a network link the ones before may be missing too): gone"},
             {"mdV", true, "Lost connection with ECU while reading the firmware version: gone"},  // right after "E"
             {"mcs", true, "Lost connection with ECU while storing the settings: gone"},
         }) {
        peer = TBootPeer();
        make(false, 32000);
        bool triggered = false;
        link->responder = [&](const std::string& b) {
            if (b.rfind(c.trigger, 0) == 0) triggered = true;
            if (triggered && c.drop) link->lose("gone");
            if (triggered && !c.drop && b.rfind("mttg", 0) == 0) return std::string();  // not taken
            return peer.exchange(b);
        };
        auto image = imageOf(256);
        try {
            ecu->flashFirmware(*image);
            ADD_FAILURE() << "no error at " << c.trigger;
        } catch (const EFlashError& e) {
            EXPECT_EQ(std::string(e.what()), c.says + ". Your settings are saved in " + ecu->lastCarryOver.backupFile);
        }
        const auto statuses = fake.progress.statuses();
        for (const auto& s : statuses) EXPECT_EQ(s.rfind("Carried over", 0), std::string::npos) << c.trigger;
        EXPECT_TRUE(ecu->lastCarryOver.reportFile.empty());
        ecu.reset();  // its goodbye still goes through this round's responder
    }
}

// Nothing read is nothing to back up or carry over: a firmware that sent no settings is not
// flashed, and an ECU found only through its bootloader gets no (empty, newest) backup.
TEST_F(FlashTest, NothingReadMeansNoFlashOrNoBackup) {
    make(false, 32000);
    relayout({}, {{"a", 1}});
    EXPECT_EQ(ecu->settingsLines, 0);
    auto image = imageOf(256);
    try {
        ecu->flashFirmware(*image);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("The ECU sent no settings when it was connected", 0), 0u) << e.what();
    }
    EXPECT_TRUE(link->wire.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/backups"));

    // A second ECU on the same link, found answering only through its bootloader, gets nothing
    // of the first one's table: no backup, nothing carried over.
    peer = TBootPeer();
    make(false, 32000);
    peer.bootloaderOnly = true;
    peer.mode = TBootPeer::Mode::Bootloader;
    ASSERT_TRUE(ecu->connect());
    ASSERT_TRUE(ecu->needsFirmware);
    EXPECT_EQ(ecu->settingsLines, -1);
    ASSERT_TRUE(ecu->flashFirmware(*image));
    EXPECT_TRUE(ecu->lastCarryOver.backupFile.empty());
    EXPECT_TRUE(ecu->lastCarryOver.reportFile.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/backups"));
    EXPECT_EQ(ecu->lastCarryOver.newNames.size(), peer.afterFlash.settings.size());
    EXPECT_NE(fake.log.all().find("No settings backup: no settings were read from the ECU"), std::string::npos);
}

}  // namespace

namespace {

// A firmware with a new layout lists dozens of names: the report wraps them between names.
TEST(CarryOverText, LongNameListsWrapBetweenNamesWithControlBytesShown) {
    TCarryOverReport r;
    r.kept = 3;
    std::string list;
    for (int i = 0; i < 40; ++i) {
        r.newNames.push_back("setting_name_" + std::to_string(i));
        list += r.newNames.back() + ", ";
    }
    r.newNames.push_back("odd\tname");
    // Names that would read as two, as none, or as another name are quoted.
    r.droppedNames = {"a, b", "  ", "Idle", "Idle ", "say \"hi\""};
    const std::string text = carryOverText(r, 78);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 78u) << line;
    // Joined again at the wraps, the list is whole: no name was split.
    std::string unwrapped = text;
    for (size_t at; (at = unwrapped.find("\n    ")) != std::string::npos;) unwrapped.replace(at, 5, " ");
    EXPECT_EQ(unwrapped, "Carried over 3 settings; 41 new, 5 no longer in the firmware\n"
                         "New in this firmware (firmware's value kept): " + list + "\"odd\\tname\"\n"
                         "No longer in this firmware: \"a, b\", \"  \", Idle, \"Idle \", \"say \\\"hi\\\"\"\n");
}

}  // namespace

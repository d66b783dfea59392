#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ecu/ecu.h"
#include "platform/convert.h"
#include "support/scriptedlink.h"

namespace {

using Strings = std::vector<std::string>;
using ::testing::HasSubstr;

std::string settingsLines(int count, int firstValue = 0) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += "set" + std::to_string(i) + "=" + hexHH(static_cast<unsigned>(firstValue + i)) + "\r\n";
    return out;
}

struct EcuTest : ::testing::Test {
    TFakeOperator<> fake;
    TScriptedLink* link = nullptr;
    std::vector<TLinkKind> built;
    std::unique_ptr<TECU> ecu;

    void make(const std::string& type, const std::string& storedRate = "9600") {
        fake.prefs.values["com.Type"] = type;
        ecu = std::make_unique<TECU>(fake.op, [this, storedRate](TLinkKind kind, TOperator& op) {
            auto l = std::make_unique<TScriptedLink>(op, fake.clock, kind == TLinkKind::Serial);
            l->rate = std::stoi(storedRate);
            link = l.get();
            built.push_back(kind);
            return l;
        });
        link->wire.clear();
    }
    // A running firmware: greets, reports its version, sends `lines` settings lines.
    void firmware(const std::string& version = "1.0.22", const std::string& lines = settingsLines(3)) {
        link->reply("Man", "Hello>\r");
        link->reply("mdV", "VIVU v3\n" + version + "\n");
        link->reply("mcd", lines);
        link->reply("bye", "Bye\r");
    }
};

TEST_F(EcuTest, AnEcuThatTricklesBytesIsCutOffAsSoonAsASilentOne) {
    // One byte every 90 ms, never the greeting: each reply gets a second, not 4096 bytes' time.
    make("network");
    link->active = true;
    link->reply("Man", std::string(4000, 'x'), 1, 90);
    const int64_t start = fake.clock.nowMs();
    EXPECT_FALSE(ecu->connect());
    EXPECT_LT(fake.clock.nowMs() - start, 10000);
}

TEST_F(EcuTest, AReadBackThatBringsFewerLinesEndsByTheTimeOutAndSaysSo) {
    make("network");
    link->active = true;
    link->reply("Man", "Hello>\r");
    link->reply("mdV", "VIVU v3\n1.0.22\n");
    link->reply("mcd", settingsLines(3), 1);
    link->reply("mcd", settingsLines(2));
    ASSERT_TRUE(ecu->connect());
    EXPECT_EQ(ecu->checkSettings(), (Strings{"the ECU sent 2 settings lines, not 3"}));
}

TEST_F(EcuTest, OnlyTheExactTextSerialBuildsASerialLink) {
    for (const char* type : {"Serial", "", "network", "serial ", "SERIAL"}) {
        make(type);
        EXPECT_EQ(built.back(), TLinkKind::Network) << type;
        EXPECT_FALSE(link->isSerialKind());
    }
    make("serial");
    EXPECT_EQ(built.back(), TLinkKind::Serial);
    EXPECT_EQ(ecu->versionText, "0.0.0");
    EXPECT_FALSE(ecu->needsFirmware);
}

TEST_F(EcuTest, ConstructionLoadsTheLinkPreferences) {
    fake.prefs.values["com.Type"] = "network";
    TScriptedLink* made = nullptr;
    TECU e(fake.op, [&](TLinkKind, TOperator& op) {
        auto l = std::make_unique<TScriptedLink>(op, fake.clock);
        made = l.get();
        return l;
    });
    EXPECT_EQ(made->wire, Strings{"load"});
}

TEST_F(EcuTest, ConnectToRunningFirmwareReadsVersionAndSettings) {
    make("network");
    link->active = true;
    firmware("1.0.22", settingsLines(256));
    ASSERT_TRUE(ecu->connect());
    EXPECT_EQ(link->sent(), (Strings{"Man", "mdV", "mcd"}));
    EXPECT_EQ(ecu->versionText, "1.0.22");
    EXPECT_EQ(ecu->versionMajor, 1);
    EXPECT_EQ(ecu->versionMinor, 0);
    EXPECT_EQ(ecu->versionPatch, 22);
    EXPECT_EQ(fake.window.firmware, "Firmware v.1.0.22");
    EXPECT_FALSE(ecu->needsFirmware);
    EXPECT_EQ(ecu->settings->getName(255), "set255");
    EXPECT_EQ(ecu->settings->getValue(17), 17);
    EXPECT_EQ(link->timeout, 100);  // left at the handshake's time-out

    EXPECT_EQ(fake.progress.statuses(),
              (Strings{"Establishing Communications...", "Getting Firmware Version...",
                       "Loading Settings...", "Connected..."}));
    auto pos = fake.progress.positions();
    EXPECT_EQ(pos.front(), 5);
    EXPECT_EQ(pos.back(), 100);
    // The download moves the bar from 25 to 75 in 256 steps.
    EXPECT_EQ(pos[pos.size() - 2], 75);
    EXPECT_EQ(pos[3], 25);
}

TEST_F(EcuTest, ExactBootloaderAnswerEndsConnectAtOnce) {
    make("network");
    link->reply("Man", "?Y?");
    ASSERT_TRUE(ecu->connect());
    EXPECT_TRUE(ecu->needsFirmware);
    EXPECT_EQ(link->sent(), Strings{"Man"});
    EXPECT_EQ(ecu->versionText, "0.0.0");
}

TEST_F(EcuTest, ShortBootloaderAnswerTakesTheResetRoad) {
    make("network");
    link->reply("Man", "?Y", 1);
    link->reply("bye", "Bye\r");
    link->reply("Man", "Hello>\r");
    link->reply("mdV", "x\n1.2.3\n");
    link->reply("mcd", settingsLines(2));
    ASSERT_TRUE(ecu->connect());
    EXPECT_FALSE(ecu->needsFirmware);
    EXPECT_EQ(link->sent(), (Strings{"Man", "bye", "Man", "mdV", "mcd"}));
    EXPECT_EQ(fake.progress.statuses()[1], "Resetting ECU...");
    EXPECT_EQ(fake.progress.statuses()[2], "Establishing Communications...");
    EXPECT_EQ(fake.progress.positions()[1], 10);
    EXPECT_EQ(fake.progress.positions()[2], 15);
    EXPECT_EQ(ecu->versionMajor, 1);
}

TEST_F(EcuTest, ResetRoadOnSerialGoesBackToTheStoredRateAndSaysByeAgain) {
    make("serial", "38400");
    link->reply("bye", "", 1);          // no "Bye\r" at 9600
    link->reply("bye", "bye");          // the second goodbye, at 38400
    link->reply("S", "AVREFI1");
    ASSERT_TRUE(ecu->connect());
    EXPECT_TRUE(ecu->needsFirmware);
    EXPECT_EQ(link->wire, (Strings{"rate:9600", "tx:Man", "tx:bye", "rate:38400", "tx:bye",
                                   "tx:Man", "tx:S"}));
    EXPECT_EQ(fake.clock.slept, std::vector<int>{100});
}

TEST_F(EcuTest, BootloaderFoundAtNineteenThousandTwoHundred) {
    make("serial", "57600");
    link->reply("bye", "Bye\r");
    link->reply("S", "", 1);
    link->reply("S", "AVREFI1");
    ASSERT_TRUE(ecu->connect());
    EXPECT_TRUE(ecu->needsFirmware);
    EXPECT_EQ(link->wire, (Strings{"rate:9600", "tx:Man", "tx:bye", "tx:Man", "tx:S",
                                   "rate:19200", "tx:S"}));
    EXPECT_EQ(fake.clock.slept, std::vector<int>{50});
    EXPECT_EQ(link->rate, 19200);
}

TEST_F(EcuTest, NobodyAnswersGivesFalse) {
    make("network");
    EXPECT_FALSE(ecu->connect());
    EXPECT_FALSE(ecu->needsFirmware);
    EXPECT_EQ(link->sent(), (Strings{"Man", "bye", "bye", "Man", "S", "S"}));
    // On the network link no rate is ever switched.
    for (const auto& w : link->wire) EXPECT_NE(w.rfind("rate:", 0), 0u) << w;
}

TEST_F(EcuTest, NeedsFirmwareIsClearedByALaterFirmwareConnect) {
    make("network");
    link->reply("Man", "?Y?", 1);
    firmware();
    ASSERT_TRUE(ecu->connect());
    EXPECT_TRUE(ecu->needsFirmware);
    ASSERT_TRUE(ecu->connect());
    EXPECT_FALSE(ecu->needsFirmware);
    EXPECT_EQ(ecu->versionText, "1.0.22");
}

TEST_F(EcuTest, StoredRateIsTakenUpOnlyOnSerialAfterARealVersion) {
    struct Case {
        std::string type, rate, version;
        bool versionReplies;
        Strings expectedMcB;
    };
    const std::vector<Case> cases = {
        {"serial", "57600", "1.0.22", true, {"mcB10"}},
        {"serial", "115200", "2.1.0", true, {"mcB08"}},
        {"serial", "9600", "1.0.22", true, {}},
        {"serial", "57600", "0.9.9", true, {}},
        {"serial", "57600", "", false, {}},  // "Firmware v.Unknown"
        {"network", "57600", "1.0.22", true, {}},
    };
    for (const auto& c : cases) {
        fake.clock.slept.clear();
        make(c.type, c.rate);
        link->reply("Man", "Hello>\r");
        if (c.versionReplies) link->reply("mdV", "v\n" + c.version + "\n");
        link->reply("mcd", settingsLines(1));
        ASSERT_TRUE(ecu->connect());
        Strings mcb;
        for (const auto& s : link->sent())
            if (s.rfind("mcB", 0) == 0) mcb.push_back(s);
        EXPECT_EQ(mcb, c.expectedMcB) << c.type << " " << c.rate << " " << c.version;
        if (!c.expectedMcB.empty()) {
            // The firmware is told first, 500 ms pass, then the link follows.
            EXPECT_EQ(fake.clock.slept, std::vector<int>{500});
            EXPECT_EQ(link->wire.back(), "tx:mcd");
            EXPECT_EQ(link->wire[link->wire.size() - 2], "rate:" + c.rate);
        }
    }
}

TEST_F(EcuTest, MissingVersionShowsUnknownAndResets) {
    make("network");
    link->reply("Man", "Hello>\r");
    link->reply("mdV", "only one line\n");
    ecu->versionText = "9.9.9";
    ecu->versionMajor = 9;
    ASSERT_TRUE(ecu->connect());
    EXPECT_EQ(fake.window.firmware, "Firmware v.Unknown");
    EXPECT_EQ(ecu->firmwareText, "Firmware v.Unknown");  // what the flash report names
    EXPECT_EQ(ecu->versionText, "0.0.0");
    EXPECT_EQ(ecu->versionMajor, 0);
}

TEST_F(EcuTest, VersionNumbersOfSeveralDigits) {
    make("network");
    link->reply("mdV", "hdr\n10.12.3\n");
    ecu->readVersion();
    EXPECT_EQ(ecu->versionMajor, 10);
    EXPECT_EQ(ecu->versionMinor, 12);
    EXPECT_EQ(ecu->versionPatch, 3);
    EXPECT_EQ(fake.window.firmware, "Firmware v.10.12.3");
}

// Every later connect would fail on such a version, so that not even a new flash could reach
// the ECU: it is shown as it came, and nothing is decided on its numbers.
TEST_F(EcuTest, VersionThatIsNotThreeNumbersIsShownAsItCameWithNumbersZero) {
    for (const std::string odd : {"1.1", "1.2.0-rc1", "1.x.22", "", "..", "1.0.22.4"}) {
        make("serial", "57600");
        firmware(odd);
        ecu->versionMajor = 9;
        ASSERT_TRUE(ecu->connect()) << odd;
        EXPECT_EQ(ecu->versionText, odd);
        EXPECT_EQ(fake.window.firmware, "Firmware v." + odd);
        EXPECT_EQ(ecu->versionMajor + ecu->versionMinor + ecu->versionPatch, 0) << odd;
        EXPECT_EQ(ecu->settingsLines, 3);
        for (const auto& sent : link->sent()) EXPECT_NE(sent.rfind("mcB", 0), 0u) << odd;  // no rate switch
    }
}

// Every byte restarted the per-byte wait: an ECU streaming noise held the tool for ever.
TEST_F(EcuTest, RepliesWithoutEndAreCutOffWithAMessage) {
    struct Case {
        std::string command, reply, says;
    };
    for (const Case& c : std::vector<Case>{
             {"Man", std::string(5000, 'x'), "sent 4096 bytes while connecting without the awaited \"Hello>\\r\""},
             {"mdV", std::string(5000, 'v'), "4096 bytes while reading the firmware version"},
             {"mcd", settingsLines(1025), "more than 1024 settings lines"},
         }) {
        make("network");
        link->reply(c.command, c.reply);  // tried before the firmware's own answer
        firmware();
        try {
            ecu->connect();
            ADD_FAILURE() << "no error for " << c.command;
        } catch (const EReplyError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.says));
        }
    }
    make("network");
    firmware("1.0.22", settingsLines(1024));  // the longest download still taken
    ASSERT_TRUE(ecu->connect());
    EXPECT_EQ(ecu->settingsLines, 1024);
}

// A link that went is not an ECU that fell silent: the exchange ends at once, saying where.
TEST_F(EcuTest, ALostLinkEndsTheExchangeAtOnceNamingWhere) {
    make("network");
    link->lose("gone");
    try {
        ecu->connect();
        ADD_FAILURE() << "no error";
    } catch (const ELinkLost& e) {
        EXPECT_STREQ(e.what(), "Lost connection with ECU while connecting: gone");
    }

    make("network");
    firmware();
    ASSERT_TRUE(ecu->connect());
    int sends = 0;
    link->responder = [&](const std::string&) {
        if (++sends == 10) link->lose("gone");
        return std::string();
    };
    try {
        ecu->writeAllSettings(0);
        ADD_FAILURE() << "no error";
    } catch (const ELinkLost& e) {
        EXPECT_STREQ(e.what(), "Lost connection with ECU while writing the settings (from slot 9 on the ECU did not receive "
                               "them, and over a network link the ones before may be missing too): gone");
    }
    EXPECT_EQ(sends, 10);
    ecu->setOnline(false);  // no goodbye into a link that is gone
    EXPECT_EQ(link->wire.back(), "close");
    EXPECT_EQ(std::count(link->wire.begin(), link->wire.end(), "lost:bye"), 0);
}

TEST_F(EcuTest, CheckSettingsReadsTheTableBackAndNamesEveryDifference) {
    make("network");
    link->reply("mcd", "a=01\r\nb=02\r\nc=03\r\n", 3);
    link->reply("mcd", "a=01\r\nx=02\r\n", 1);
    link->reply("mcd", "");
    firmware();
    ASSERT_TRUE(ecu->connect());
    EXPECT_TRUE(ecu->checkSettings().empty());
    ecu->settings->setValue(1, 9);  // written, but the ECU kept 2
    EXPECT_EQ(ecu->checkSettings(), Strings{"b (slot 1) holds 2, not 9"});
    EXPECT_EQ(ecu->checkSettings(), (Strings{"the ECU sent 2 settings lines, not 3", "b (slot 1) is now named \"x\""}));
    EXPECT_EQ(ecu->checkSettings(), Strings{"the ECU sent no settings back"});
    EXPECT_EQ(ecu->settingsLines, 3);  // a check leaves the table and its count alone
    EXPECT_EQ(ecu->settings->getName(1), "b");
}

TEST_F(EcuTest, SettingsFillSlotsInArrivalOrderAndKeepTheRest) {
    make("network");
    ecu->settings->setEntry("old", 77, 3);
    ecu->settings->setEntry("older", 88, 255);
    link->reply("mcd", "fan_temp=5F\r\nfan_hyst=0a\r\n\x01\x02=FF\r\n");
    fake.progress.setPosition(40);
    link->timeout = 2500;
    ecu->readSettings(0);
    EXPECT_EQ(ecu->settings->getName(0), "fan_temp");
    EXPECT_EQ(ecu->settings->getValue(0), 0x5F);
    EXPECT_EQ(ecu->settings->getValue(1), 0x0A);
    EXPECT_EQ(ecu->settings->getName(2), "\x01\x02");
    EXPECT_EQ(ecu->settings->getName(3), "old");
    EXPECT_EQ(ecu->settings->getValue(3), 77);
    EXPECT_EQ(ecu->settings->getValue(255), 88);
    EXPECT_EQ(link->timeout, 2500);  // restored
    EXPECT_EQ(fake.progress.getPosition(), 40);  // span 0 moves nothing
    // Every line was awaited with the download's 100 ms.
    EXPECT_EQ(link->timeoutsSeen.front(), 100);
}

TEST_F(EcuTest, SilenceLongerThanTheTimeOutEndsTheDownload) {
    make("network");
    // The third line comes after a pause of more than 100 ms.
    link->replyThen("mcd", "a=01\r\nb=02\r\n", 150, "c=03\r\n");
    ecu->readSettings(50);
    EXPECT_EQ(ecu->settings->getName(1), "b");
    EXPECT_EQ(ecu->settings->getName(2), "");
}

TEST_F(EcuTest, LinesBeyondTheTableAreReadAndDropped) {
    make("network");
    link->reply("mcd", settingsLines(300, 0));
    link->reply("mdV", "x\n1.0.0\n");
    ecu->readSettings(50);
    EXPECT_EQ(ecu->settings->getName(0), "set0");    // not overwritten by line 256
    EXPECT_EQ(ecu->settings->getValue(0), 0);
    EXPECT_EQ(ecu->settings->getName(255), "set255");
    EXPECT_EQ(fake.progress.getPosition(), 50);      // the bar stops at its span
    // The extra lines were consumed: the next exchange reads its own reply.
    ecu->readVersion();
    EXPECT_EQ(ecu->versionText, "1.0.0");
}

TEST_F(EcuTest, LineWithoutEqualsTakesItsFirstTwoCharactersAsValue) {
    make("network");
    link->reply("mcd", "7Fnoname\r\n");
    ecu->readSettings(0);
    EXPECT_EQ(ecu->settings->getName(0), "");
    EXPECT_EQ(ecu->settings->getValue(0), 0x7F);
}

TEST_F(EcuTest, SettingsValueThatIsNotHexEndsWithTheLineAndRestoresTimeOut) {
    for (const std::string bad : {"rpm=G1\r\n", "rpm=1\r\n", "rpm=\r\n", "\r\n"}) {
        make("network");
        link->timeout = 1234;
        link->reply("mcd", "ok=01\r\n" + bad);
        try {
            ecu->readSettings(50);
            ADD_FAILURE() << "no error for " << quoteBytes(bad);
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.text(), bad);
        }
        EXPECT_EQ(link->timeout, 1234);
        EXPECT_EQ(ecu->settings->getName(0), "ok");
    }
}

TEST_F(EcuTest, WriteCommandsGoOutExactly) {
    make("network");
    ecu->settings->setValue(5, 26);
    ecu->settings->setValue(255, 0);
    ecu->writeSetting(5);
    ecu->writeSetting(255);
    ecu->storeSettings();
    ecu->setOutputTestMode(true);
    ecu->setOutputTestMode(false);
    ecu->setOutput(39, true);
    ecu->setOutput(39, false);
    ecu->setOutput(0, true);
    EXPECT_EQ(link->sent(), (Strings{"mttg05c1A", "mttgFFc00", "mcs", "mde02", "mde00", "mdhA7",
                                     "mdh27", "mdh80"}));
    EXPECT_EQ(link->sentBytes, "mttg05c1AmttgFFc00mcsmde02mde00mdhA7mdh27mdh80");  // no terminators
}

TEST_F(EcuTest, WriteAllSettingsSendsEverySlotInOrderWithProgress) {
    make("network");
    for (int i = 0; i < 256; ++i) ecu->settings->setValue(static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i));
    fake.progress.setPosition(50);
    ecu->writeAllSettings(13);
    auto sent = link->sent();
    ASSERT_EQ(sent.size(), 256u);
    EXPECT_EQ(sent[0], "mttg00cFF");
    EXPECT_EQ(sent[200], "mttgC8c37");
    EXPECT_EQ(fake.progress.getPosition(), 50 + (255 * 13) / 256);
    EXPECT_TRUE(fake.clock.slept.empty());  // back to back
}

TEST_F(EcuTest, BaudRateDivisors) {
    make("serial");
    const std::vector<std::pair<int, std::string>> table = {
        {9600, "mcB67"}, {19200, "mcB33"}, {38400, "mcB19"}, {57600, "mcB10"},
        {115200, "mcB08"}, {4800, ""}, {230400, ""}, {300, ""}, {12345, ""}};
    for (const auto& [rate, command] : table) {
        link->wire.clear();
        fake.clock.slept.clear();
        link->rate = 19200;
        ecu->changeBaudRate(rate);
        if (command.empty()) {
            // "mcB00" would strand the ECU at a rate the tool never uses: nothing is sent.
            EXPECT_TRUE(link->wire.empty()) << rate;
            EXPECT_EQ(link->rate, 19200);
            EXPECT_TRUE(fake.clock.slept.empty());
            continue;
        }
        EXPECT_EQ(link->wire, (Strings{"tx:" + command, "rate:" + std::to_string(rate)}));
        EXPECT_EQ(fake.clock.slept, std::vector<int>{500});
    }
    make("network");
    ecu->changeBaudRate(57600);
    EXPECT_TRUE(link->wire.empty());
}

TEST_F(EcuTest, SetOnlineSaysGoodbyeWheneverTheLinkIsOpen) {
    make("serial", "57600");
    ecu->setOnline(false);  // closed: nothing sent
    EXPECT_EQ(link->wire, Strings{"close"});

    link->wire.clear();
    ecu->setOnline(true);
    EXPECT_EQ(link->wire, Strings{"open"});

    link->wire.clear();
    link->reply("bye", "Bye");
    ecu->setOnline(true);  // open and asked to open: the goodbye still comes first
    EXPECT_EQ(link->wire, (Strings{"tx:mcB67", "rate:9600", "tx:bye", "open"}));

    link->wire.clear();
    ecu->setOnline(false);
    EXPECT_EQ(link->wire, (Strings{"tx:mcB67", "rate:9600", "tx:bye", "close"}));
}

TEST_F(EcuTest, DestructionSaysGoodbyeOnlyWhenOpen) {
    make("network");
    // The link reports what crossed it as it is destroyed with the ECU.
    std::vector<std::string> wireAtEnd;
    struct Spy : TScriptedLink {
        using TScriptedLink::TScriptedLink;
        std::vector<std::string>* out = nullptr;
        ~Spy() override { *out = wire; }
    };
    fake.prefs.values["com.Type"] = "network";
    {
        TECU e(fake.op, [&](TLinkKind, TOperator& op) {
            auto s = std::make_unique<Spy>(op, fake.clock);
            s->out = &wireAtEnd;
            s->active = true;
            return s;
        });
    }
    EXPECT_EQ(wireAtEnd, (Strings{"load", "tx:bye"}));
    {
        TECU e(fake.op, [&](TLinkKind, TOperator& op) {
            auto s = std::make_unique<Spy>(op, fake.clock);
            s->out = &wireAtEnd;
            return s;
        });
    }
    EXPECT_EQ(wireAtEnd, Strings{"load"});
}

TEST_F(EcuTest, ReplacingTheLinkStartsFromDefaultsWithoutGoodbye) {
    make("network");
    link->active = true;
    ecu->setDebugEcho(true);
    EXPECT_TRUE(link->debugEcho);
    ecu->useSerialLink("3", 38400);
    EXPECT_EQ(built.size(), 2u);
    EXPECT_EQ(built.back(), TLinkKind::Serial);
    EXPECT_EQ(link->wire, (Strings{"rate:38400"}));  // no "load", nothing sent
    EXPECT_EQ(ecu->getLinkAddress(), "3");
    EXPECT_EQ(ecu->getLinkBaudRate(), 38400);
    EXPECT_FALSE(link->debugEcho);
    EXPECT_TRUE(ecu->debugEcho);

    ecu->useNetworkLink("ecu.local", 4000);
    EXPECT_EQ(built.back(), TLinkKind::Network);
    EXPECT_EQ(ecu->getLinkAddress(), "ecu.local");
    EXPECT_EQ(ecu->getLinkBaudRate(), 4000);
    EXPECT_EQ(link->timeout, 2500);

    ecu->setDebugEcho(false);
    EXPECT_FALSE(link->debugEcho);
    EXPECT_FALSE(ecu->debugEcho);
    ecu->saveLinkSettings();
    EXPECT_EQ(link->wire.back(), "save");
}

}  // namespace

namespace {

// A write or a store confirms the link; what was lost names the setting as messages show names.
TEST_F(EcuTest, ConfirmedWritesAndStoresNameWhatTheLinkLostAt) {
    make("network");
    link->active = true;
    ecu->settings->setEntry("fan temp", 1, 0);
    ecu->settingsLines = 3;
    struct Case {
        uint8_t slot;
        const char* note;
        const char* where;
    };
    for (const Case c : {Case{0, "", "while writing \"fan temp\""},
                         Case{2, "it was not set", "while writing unnamed slot 2 (it was not set)"}}) {
        link->lose("the far end hung up");
        try {
            ecu->writeSettingConfirmed(c.slot, 42, c.note);
            ADD_FAILURE() << c.where;
        } catch (const ELinkLost& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Lost connection with ECU ") + c.where + ": the far end hung up");
        }
        EXPECT_EQ(ecu->settings->getValue(c.slot), 42);  // the table keeps what may have gone out
    }
    EXPECT_THAT([&] { ecu->storeConfirmed(); },
                ::testing::ThrowsMessage<ELinkLost>(HasSubstr("while the ECU was told to store its settings")));
}

}  // namespace

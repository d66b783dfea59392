#include <gtest/gtest.h>

#include <fstream>

#include "ecu/ecu.h"
#include "support/bootpeer.h"
#include "support/scriptedlink.h"
#include "support/tempdir.h"

namespace {

using Strings = std::vector<std::string>;

struct ImportTest : ::testing::Test {
    TFakeOperator<> fake;
    TBootPeer peer;
    TScriptedLink* link = nullptr;
    std::unique_ptr<TECU> ecu;
    TTempDir dir;

    void SetUp() override {
        fake.prefs.values["com.Type"] = "network";
        ecu = std::make_unique<TECU>(fake.op, [this](TLinkKind, TOperator& op) {
            auto l = std::make_unique<TScriptedLink>(op, fake.clock);
            l->active = true;
            l->responder = [this](const std::string& b) { return peer.exchange(b); };
            link = l.get();
            return l;
        });
        link->wire.clear();
    }
    std::string file(const std::string& content) {
        const std::string path = dir.path + "/table.mtt";
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
};

TEST_F(ImportTest, LinesGoOutBareAndPacedBetweenGoodbyeAndGreeting) {
    peer.running.settings = {{"imported", 42}};  // what the ECU holds once it took the file
    ASSERT_TRUE(ecu->importSettings(file("t 1 2\r\nx=5\r\n\r\nlast")));
    // After the greeting the table is read again: the tool holds what the ECU holds now.
    EXPECT_EQ(link->sent(), (Strings{"bye", "t 1 2", "x=5", "", "last", "Man", "mcd"}));
    EXPECT_EQ(ecu->settings->getName(0), "imported");
    EXPECT_EQ(ecu->settings->getValue(0), 42);
    EXPECT_EQ(peer.imported, "t 1 2x=5last");
    EXPECT_EQ(fake.clock.slept, (std::vector<int>{10, 10, 10, 10}));  // the empty line too
    EXPECT_EQ(fake.progress.positions(), (std::vector<int>{0, 0, 25, 50, 75}));
    EXPECT_EQ(fake.progress.calls().back(), "hide");
    EXPECT_TRUE(fake.window.messages().empty());
    EXPECT_EQ(peer.mode, TBootPeer::Mode::Firmware);
}

TEST_F(ImportTest, LineEndsOfEveryKindPutTheSameBytesOnTheWire) {
    const Strings expected{"bye", "a", "b", "c", "Man", "mcd"};
    for (const std::string& text : Strings{"a\r\nb\r\nc\r\n", "a\nb\nc\n", "a\rb\rc\r", "a\nb\r\nc",
                                           std::string("a\nb\nc\n\0ignored\n", 15)}) {
        link->wire.clear();
        ASSERT_TRUE(ecu->importSettings(file(text)));
        EXPECT_EQ(link->sent(), expected);
    }
}

TEST_F(ImportTest, EmptyFileSaysGoodbyeAndGreetsAtOnce) {
    ASSERT_TRUE(ecu->importSettings(file("")));
    EXPECT_EQ(link->sent(), (Strings{"bye", "Man", "mcd"}));
    EXPECT_TRUE(fake.clock.slept.empty());
}

TEST_F(ImportTest, NoGoodbyeMeansNotOneLineIsSent) {
    link->responder = nullptr;  // a silent ECU
    const TImportOutcome outcome = ecu->importSettings(file("a\nb\n"));
    EXPECT_EQ(link->sent(), Strings{"bye"});
    EXPECT_EQ(outcome.failure, "Lost connection with ECU!");
    // The dialog is hidden before the message is shown.
    EXPECT_FALSE(outcome.progressUp);
    const auto calls = fake.progress.calls();
    EXPECT_EQ(calls.back(), "hide");
}

TEST_F(ImportTest, AStrayGreetingNeverAnswersTheFinalOne) {
    link->responder = nullptr;
    link->reply("bye", "Bye\rHello>\r");  // a greeting nobody asked for, and none for "Man"
    EXPECT_EQ(ecu->importSettings(file("x=5\r\n")).failure, "Settings import failed!");
}

TEST_F(ImportTest, NoGreetingAfterwardsIsReportedWhileTheDialogIsUp) {
    link->responder = [this](const std::string& b) {
        std::string out = peer.exchange(b);
        return b == "Man" ? std::string() : out;
    };
    const TImportOutcome outcome = ecu->importSettings(file("a\n"));
    EXPECT_EQ(outcome.failure, "Settings import failed!");
    // The front shows the failure, then hides the dialog.
    EXPECT_TRUE(outcome.progressUp);
    EXPECT_NE(fake.progress.calls().back(), "hide");
    EXPECT_EQ(link->sent(), (Strings{"bye", "a", "Man"}));
}

TEST_F(ImportTest, UnreadableFileIsReportedWithNothingSent) {
    const TImportOutcome outcome = ecu->importSettings(dir.path + "/missing.mtt");
    EXPECT_TRUE(link->wire.empty());
    EXPECT_NE(outcome.failure.find(dir.path + "/missing.mtt"), std::string::npos);
    // No dialog is left up: the file is read before the dialog shows.
    const auto calls = fake.progress.calls();
    EXPECT_TRUE(calls.empty() || calls.back() == "hide");
}

}  // namespace

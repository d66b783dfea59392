#include <gtest/gtest.h>

#include "support/scriptedlink.h"

namespace {

struct ExpectTest : ::testing::Test {
    TFakeOperator<> fake;
    TScriptedLink link{fake.op, fake.clock};
};

TEST_F(ExpectTest, EmptyTextMatchesAtOnceWithoutReading) {
    link.feed("xyz");
    EXPECT_TRUE(link.expect(""));
    EXPECT_EQ(link.received, "");
    EXPECT_TRUE(link.timeoutsSeen.empty());
}

TEST_F(ExpectTest, SettingsLineIsReadWholeUpToItsTerminator) {
    link.feed("rpm_limit=1A\r\nnext=00\r\n");
    EXPECT_TRUE(link.expect("\r\n"));
    EXPECT_EQ(link.received, "rpm_limit=1A\r\n");
    EXPECT_TRUE(link.expect("\r\n"));
    EXPECT_EQ(link.received, "next=00\r\n");
}

TEST_F(ExpectTest, RepeatedFirstCharacterResetsTheMatchAndIsNotARestart) {
    // "AAB" never matches "AB": the second A breaks the partial match and is not compared again.
    link.feed("AAB");
    EXPECT_FALSE(link.expect("AB"));
    EXPECT_EQ(link.received, "AAB");
}

TEST_F(ExpectTest, MatchAfterNoiseLeavesLaterBytesUnread) {
    link.feed("junkHello>\rrest");
    EXPECT_TRUE(link.expect("Hello>\r"));
    EXPECT_EQ(link.received, "junkHello>\r");
    EXPECT_EQ(link.readByte(), 'r');
}

TEST_F(ExpectTest, TimeOutAfterSomeBytesKeepsThemAndCountsPerByte) {
    link.timeout = 100;
    // Each byte comes 90 ms after the one before: within the per-byte time-out, so a long
    // reply is still read; then silence ends the wait.
    link.feed("?Y?", 0, 90);
    const int64_t start = fake.clock.nowMs();
    EXPECT_FALSE(link.expect("Hello>\r"));
    EXPECT_EQ(link.received, "?Y?");
    EXPECT_GE(fake.clock.nowMs() - start, 3 * 90 + 100);
}

TEST_F(ExpectTest, SilentLinkFailsAfterOneTimeOut) {
    link.timeout = 100;
    EXPECT_FALSE(link.expect("Hello>\r"));
    EXPECT_EQ(link.received, "");
    EXPECT_EQ(link.timeoutsSeen.size(), 1u);
}

TEST_F(ExpectTest, EchoLineOnlyWhenEchoIsOn) {
    link.feed("Bye\r");
    link.expect("Bye");
    EXPECT_TRUE(fake.log.entries().empty());

    link.debugEcho = true;
    link.feed("Hello>\r");
    link.expect("Hello>");
    auto entries = fake.log.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text, "\rExpect: Hello>\r");
    EXPECT_EQ(entries[0].color, expectedColor);
}

TEST_F(ExpectTest, BytesAbove127AreCharactersOfTheText) {
    link.feed(std::string("\xFF\x00Z", 3));
    EXPECT_TRUE(link.expect("Z"));
    EXPECT_EQ(link.received, std::string("\xFF\x00Z", 3));
}

}  // namespace

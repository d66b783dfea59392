// The terminal seams: how the echo, the progress and messages share standard error.

#include "cli/terminal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Standard error stand-in: everything written, as text.
class MemoryStream {
public:
    MemoryStream() : file(open_memstream(&buffer, &size)) {}
    ~MemoryStream() {
        std::fclose(file);
        std::free(buffer);
    }
    std::string text() {
        std::fflush(file);
        return std::string(buffer, size);
    }
    std::FILE* file;

private:
    char* buffer = nullptr;
    size_t size = 0;
};

TEST(TerminalLog, AFragmentWithACarriageReturnStartsNewLinesOthersExtendTheLast) {
    MemoryStream err;
    TConsole console(err.file, false, false);
    TTerminalLog log(console, true);
    log.appendText("Man", sentColor);
    log.appendText("\rExpect: Hello>\r", expectedColor);
    log.appendText("H", receivedColor);
    log.appendText("", receivedColor);
    log.appendText("i\x1b", receivedColor);  // a control byte cannot drive the terminal
    console.line("a message");
    log.appendText("mcd", sentColor);
    EXPECT_EQ(err.text(), "Man\nExpect: Hello>\nHi\\x1B\na message\nmcd");
}

TEST(TerminalLog, ColoursOnlyOnATerminal) {
    MemoryStream err;
    TConsole console(err.file, true, true);
    TTerminalLog log(console, true);
    log.appendText("Man", sentColor);
    EXPECT_EQ(err.text(), "\033[31mMan\033[0m");
    TTerminalLog hidden(console, false);  // without --echo nothing of the log is shown
    hidden.appendText("\rSettings backed up to x\r", expectedColor);
    EXPECT_EQ(err.text(), "\033[31mMan\033[0m");
}

// Off a terminal (a log file, a pipe) the progress is its milestones: a status text whose
// wording differs from the last, no positions, and one line for a run of 512 blocks.
TEST(TerminalProgress, OffATerminalOnlyMilestones) {
    MemoryStream err;
    TConsole console(err.file, false, false);
    TTerminalProgress progress(console);
    progress.setCaption("Updating Firmware...");
    progress.show();
    progress.showStep("Erasing flash...", 5);
    for (int block = 1; block <= 512; ++block) {
        progress.setPosition(block * 50 / 512);
        progress.setStatusText("Programming block " + std::to_string(block) + " of 512");
        if (block == 59) progress.setStatusText("ECU Checksum Error!?1234");
    }
    progress.setPosition(150);
    EXPECT_EQ(progress.getPosition(), 100);
    progress.setPosition(-4);
    EXPECT_EQ(progress.getPosition(), 0);
    EXPECT_EQ(err.text(),
              "Erasing flash...\nProgramming block 1 of 512\nECU Checksum Error!?1234\nProgramming block 60 of 512\n");
}

TEST(TerminalProgress, QuietShowsNoProgressButMessagesAndTheEcho) {
    for (const bool terminal : {true, false}) {
        MemoryStream err;
        TConsole console(err.file, terminal, false);
        console.setQuiet(true);
        TTerminalProgress progress(console);
        TTerminalLog log(console, true);
        progress.showStep("Connected...", 100);
        console.line("a message");
        log.appendTraffic("Man", sentColor, TTraffic::Sent);
        EXPECT_EQ(err.text(), "a message\n> Man") << terminal;
    }
}

TEST(TerminalProgress, OneUpdatingLineOnATerminalEndedBeforeOtherOutput) {
    MemoryStream err;
    TConsole console(err.file, true, false);
    TTerminalProgress progress(console);
    progress.setCaption("Connecting...");
    progress.showStep("Loading Settings...", 25);
    console.line("lost comm!");
    progress.setPosition(30);
    progress.setPosition(30);  // the same line is not drawn again
    progress.hide();
    progress.hide();
    EXPECT_EQ(err.text(),
              "\r\033[KConnecting...   0% Loading Settings..."
              "\r\033[KConnecting...  25% Loading Settings...\n"
              "lost comm!\n"
              "\r\033[KConnecting...  30% Loading Settings...\n");
}

TEST(TerminalProgress, WithTheEchoOnATerminalTheProgressWritesPlainLines) {
    MemoryStream err;
    TConsole console(err.file, true, false);
    console.setEchoing(true);
    TTerminalProgress progress(console);
    TTerminalLog log(console, true);
    log.appendText("Man", sentColor);
    progress.showStep("Getting Firmware Version...", 20);
    EXPECT_EQ(err.text(), "Man\nGetting Firmware Version...\n");
}

// Without colours the echo could not tell sent from received, and a line left open ran into
// what the program printed on standard output.
TEST(TerminalLog, TrafficIsMarkedByDirectionAndEveryLineIsEnded) {
    MemoryStream err;
    {
        TConsole console(err.file, false, false);
        TTerminalLog log(console, true);
        log.appendTraffic("mdV\r", expectedColor, TTraffic::Sent);  // the network link's echo
        log.appendTraffic("VIVU v3\n1.0.22\n\r", expectedColor, TTraffic::Arrived);  // shown byte by byte instead
        for (char c : std::string("VIVU v3\n1.0")) log.appendTraffic(std::string(1, c), receivedColor, TTraffic::Received);
        log.appendTraffic("mcd", sentColor, TTraffic::Sent);
        log.appendTraffic("0x41", sentColor, TTraffic::Sent);
        for (char c : std::string("a=01\r\nb")) log.appendTraffic(std::string(1, c), receivedColor, TTraffic::Received);
        console.endLine();  // before the result goes to standard output
        EXPECT_EQ(err.text(), "> mdV\n< VIVU v3\n< 1.0\n> mcd0x41\n< a=01\n< b\n");
        log.appendTraffic("bye", sentColor, TTraffic::Sent);
    }
    EXPECT_EQ(err.text().substr(err.text().size() - 6), "> bye\n");  // ended when the program ends
}

}  // namespace

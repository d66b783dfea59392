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

TEST(TerminalProgress, PlainLinesForStatusTextsAndEveryTenPercent) {
    MemoryStream err;
    TConsole console(err.file, false, false);
    TTerminalProgress progress(console);
    progress.setCaption("Connecting...");
    progress.show();
    progress.showStep("Establishing Communications...", 5);
    for (int p = 25; p <= 75; ++p) progress.setPosition(p);
    progress.setPosition(150);
    EXPECT_EQ(progress.getPosition(), 100);
    progress.hide();
    progress.setPosition(0);
    progress.setStatusText("Initializing...");
    progress.setPosition(3);
    progress.setPosition(-4);
    EXPECT_EQ(progress.getPosition(), 0);
    EXPECT_EQ(err.text(),
              "Establishing Communications...\n5%\n25%\n30%\n40%\n50%\n60%\n70%\n100%\nInitializing...\n");
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
    EXPECT_EQ(err.text(), "Man\nGetting Firmware Version...\n20%\n");
}

}  // namespace

#pragma once
// The operator seams on a terminal: progress, messages and the traffic echo all go to standard
// error through one console, so that they never cut into each other's lines.

#include <cstdio>
#include <string>

#include "platform/services.h"

// Standard error, shared by everything the CLI tells the operator. On a terminal the progress
// is one line that rewrites itself; anywhere else every status text is a line of its own.
class TConsole {
public:
    // `updatingLine`: rewrite one progress line in place (a terminal); `colours`: colour the echo.
    TConsole(std::FILE* out, bool updatingLine, bool colours);

    // A line of its own (a message, a report).
    void line(const std::string& text);
    // The progress line: rewritten in place on a terminal, a new line otherwise.
    void progress(const std::string& text);
    // Ends an updating progress line, so that what follows starts below it.
    void endProgress();
    // A fragment of the traffic echo, in the debug log's manner.
    void echo(const std::string& text, TColor color);

    bool updating() const { return updatingLine && !echoing; }
    // The echo interleaves with the progress: the progress then writes plain lines.
    void setEchoing(bool on) { echoing = on; }

private:
    void toLineStart();

    std::FILE* out;
    bool updatingLine;
    bool colours;
    bool echoing = false;
    bool progressShown = false;  // an updating progress line is on the screen
    std::string shownProgress;   // what it shows
    bool atLineStart = true;
};

class TTerminalProgress : public TProgress {
public:
    explicit TTerminalProgress(TConsole& console) : console(console) {}
    void setCaption(const std::string& text) override { caption = text; }
    void setStatusText(const std::string& text) override;
    void setPosition(int position) override;
    int getPosition() override { return position; }
    void show() override {}
    void hide() override { console.endProgress(); }
    void close() override { console.endProgress(); }

    // As plain lines, positions are told each time they pass a multiple of this step.
    static constexpr int plainPositionStep = 10;

private:
    void draw();

    TConsole& console;
    std::string caption;
    std::string status;
    int position = 0;
    int lastPlainPosition = -1;
};

// The debug log on standard error: a fragment holding a carriage return starts a new line and
// each carriage return in it another; any other fragment extends the last line.
// Shown only when the operator asked for the echo: the app's log window is hidden too until
// opened, and the core writes a few lines of its own into it (the flash's backup and report).
class TTerminalLog : public TDebugLog {
public:
    TTerminalLog(TConsole& console, bool shown) : console(console), shown(shown) {}
    void appendText(const std::string& text, TColor color) override {
        if (shown) console.echo(text, color);
    }

private:
    TConsole& console;
    bool shown;
};

// The main window's services: message boxes become lines; the firmware text is kept for `info`.
class TTerminalServices : public TMainServices {
public:
    explicit TTerminalServices(TConsole& console) : console(console) {}
    void reportMessage(const std::string& text) override { console.line(text); }
    void setActivity(bool) override {}
    void setFirmwareText(const std::string& text) override { firmwareText = text; }
    void repaint() override {}
    // The CLI has no window to bring up to date; it takes the link on and off line itself.
    void switchOnline(bool) override {}

    std::string firmwareText;

private:
    TConsole& console;
};

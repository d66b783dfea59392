#pragma once
// The operator seams on a terminal: progress, messages and the traffic echo all go to standard
// error through one console, so that they never cut into each other's lines.

#include <cstdio>
#include <string>

#include "platform/services.h"

// Standard error, shared by everything the CLI tells the operator. On a terminal the progress
// is one line that rewrites itself; anywhere else only its milestones are lines of their own.
class TConsole {
public:
    // `updatingLine`: rewrite one progress line in place (a terminal); `colours`: colour the echo.
    TConsole(std::FILE* out, bool updatingLine, bool colours);
    // A line left open is ended, so that what comes after starts on a line of its own.
    ~TConsole() { endLine(); }
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    // A line of its own (a message, a report).
    void line(const std::string& text);
    // The progress line: rewritten in place on a terminal. Otherwise a line of its own when
    // it is a milestone: its wording (digits aside) differs from the last one, so that
    // "Programming block 1 of 512" stands for the 511 after it.
    void progress(const std::string& text);
    // Ends an updating progress line, so that what follows starts below it.
    void endProgress();
    // Ends whatever line is open (progress or echo): output on standard output, which may be
    // the same terminal, then starts on a line of its own.
    void endLine();
    // A fragment of the traffic echo, in the debug log's manner: a carriage return or line
    // feed ends the line. `mark` ('>' sent, '<' received, 0 none) starts each line of a
    // fragment, and a change of direction starts a new line.
    void echo(const std::string& text, TColor color, char mark = 0);

    bool updating() const { return updatingLine && !echoing && !quiet; }
    // The echo interleaves with the progress: the progress then writes plain lines.
    void setEchoing(bool on) { echoing = on; }
    // No progress at all (--quiet); lines and the echo still show.
    void setQuiet(bool on) { quiet = on; }

private:
    void toLineStart();

    std::FILE* out;
    bool updatingLine;
    bool colours;
    bool echoing = false;
    bool quiet = false;
    bool progressShown = false;  // an updating progress line is on the screen
    std::string shownProgress;   // what it shows
    std::string lastMilestone;   // the wording of the last plain progress line, digits left out
    bool atLineStart = true;
    char echoMark = 0;           // the mark of the echo line that is open
    bool echoAfterCR = false;    // a line feed right after a carriage return ends no new line
};

// The progress dialog: the caption, position and status text on one updating line on a
// terminal; elsewhere the status texts that are milestones, and no positions.
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

private:
    void draw();

    TConsole& console;
    std::string caption;
    std::string status;
    int position = 0;
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
    // Sent bytes marked '>', received '<'; the network link's whole arrivals are left out, as
    // their bytes show again one by one when they are handed out.
    void appendTraffic(const std::string& text, TColor color, TTraffic direction) override {
        if (shown && direction != TTraffic::Arrived)
            console.echo(text, color, direction == TTraffic::Sent ? '>' : '<');
    }

private:
    TConsole& console;
    bool shown;
};

// The main window's services: message boxes become lines; the firmware text is kept for `info`.
class TTerminalServices : public TMainServices {
public:
    explicit TTerminalServices(TConsole& console, bool muted = false) : muted(muted), console(console) {}
    void reportMessage(const std::string& text) override {
        if (!muted) console.line(text);
    }
    void setActivity(bool) override {}
    void setFirmwareText(const std::string& text) override { firmwareText = text; }
    void repaint() override {}
    // The CLI has no window to bring up to date; it takes the link on and off line itself.
    void switchOnline(bool) override {}

    std::string firmwareText;
    // Messages are dropped while set (the stored link's, when the command line names another).
    bool muted = false;

private:
    TConsole& console;
};

#include "cli/terminal.h"

#include <cstdlib>

#include "platform/console.h"

namespace {

const char* ansiColour(TColor c) {
    if (c == sentColor) return "\033[31m";
    if (c == receivedColor) return "\033[34m";
    if (c == expectedColor) return "\033[32m";
    return "";
}

// The echo shows bytes as they are, but a control byte other than TAB is written as \xHH, so
// that what the ECU sends cannot drive the operator's terminal (line ends never get here).
std::string printable(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c == '\t' || c == '\n' || c == '\r' || c >= 0x20) {
            if (c == 0x7F) out += "\\x7F";
            else out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        }
    }
    return out;
}

// The wording of a status text with its numbers left out.
std::string wording(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c < '0' || c > '9') out += c;
    return out;
}

}  // namespace

TConsole::TConsole(std::FILE* out, bool updatingLine, bool colours)
    : out(out), updatingLine(updatingLine), colours(colours) {}

void TConsole::toLineStart() {
    if (progressShown) {
        std::fputc('\n', out);
        progressShown = false;
        atLineStart = true;
    }
    if (!atLineStart) {
        std::fputc('\n', out);
        atLineStart = true;
    }
}

void TConsole::line(const std::string& text) {
    toLineStart();
    std::fputs(text.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void TConsole::progress(const std::string& text) {
    if (quiet) return;
    if (updatingLine && !echoing) {
        std::string shownText = text;
        const size_t width = terminalColumns(out);
        if (shownText.size() > width) shownText.resize(width);
        if (progressShown && shownText == shownProgress) return;  // nothing new to draw
        if (!progressShown && !atLineStart) std::fputc('\n', out);
        shownProgress = shownText;
        std::fputs("\r\033[K", out);
        std::fputs(shownText.c_str(), out);
        progressShown = true;
        atLineStart = false;
        std::fflush(out);
    } else {
        const std::string milestone = wording(text);
        if (milestone == lastMilestone) return;
        lastMilestone = milestone;
        line(text);
    }
}

void TConsole::endProgress() {
    if (progressShown) {
        std::fputc('\n', out);
        progressShown = false;
        atLineStart = true;
        std::fflush(out);
    }
}

void TConsole::endLine() {
    toLineStart();
    std::fflush(out);
}

void TConsole::echo(const std::string& text, TColor color, char mark) {
    if (text.empty()) return;
    if (progressShown) endProgress();
    std::string run;  // characters for the open line, written with its colour
    const auto flushRun = [&] {
        if (run.empty()) return;
        if (colours) std::fputs(ansiColour(color), out);
        std::fputs(run.c_str(), out);
        if (colours) std::fputs("\033[0m", out);
        run.clear();
    };
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            const bool sameBreak = c == '\n' && echoAfterCR;
            echoAfterCR = c == '\r';
            if (sameBreak) continue;
            flushRun();
            if (!atLineStart) std::fputc('\n', out);
            atLineStart = true;
            continue;
        }
        echoAfterCR = false;
        if (!atLineStart && echoMark != mark) {
            flushRun();
            std::fputc('\n', out);
            atLineStart = true;
        }
        if (atLineStart) {
            if (mark) run += std::string(1, mark) + " ";
            echoMark = mark;
            atLineStart = false;
        }
        run += printable(std::string(1, c));
    }
    flushRun();
    std::fflush(out);
}

void TTerminalProgress::setStatusText(const std::string& text) {
    status = text;
    if (console.updating()) draw();
    else console.progress(status);
}

void TTerminalProgress::setPosition(int p) {
    position = p < 0 ? 0 : p > 100 ? 100 : p;
    if (console.updating()) draw();
}

void TTerminalProgress::draw() {
    std::string text = caption.empty() ? std::string() : caption + " ";
    std::string pos = std::to_string(position);
    text += std::string(3 - pos.size(), ' ') + pos + "% " + status;
    console.progress(text);
}

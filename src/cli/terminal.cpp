#include "cli/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// The width of the terminal on `out`, so that the updating line never wraps.
size_t terminalWidth(std::FILE* out) {
    winsize ws{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col - 1;
    return 79;
}

const char* ansiColour(TColor c) {
    if (c == sentColor) return "\033[31m";
    if (c == receivedColor) return "\033[34m";
    if (c == expectedColor) return "\033[32m";
    return "";
}

// The echo shows bytes as they are, but a control byte other than TAB and the line ends is
// written as \xHH, so that what the ECU sends cannot drive the operator's terminal.
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
    if (updatingLine && !echoing) {
        std::string shownText = text;
        const size_t width = terminalWidth(out);
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

void TConsole::echo(const std::string& text, TColor color) {
    if (text.empty()) return;
    if (progressShown) endProgress();
    std::string shownText = printable(text);
    if (text.find('\r') != std::string::npos) {
        // A new line after the last one; every further carriage return in the fragment starts
        // another (a leading one has done its work by starting the first).
        if (!atLineStart) std::fputc('\n', out);
        atLineStart = true;
        if (shownText.front() == '\r') shownText.erase(0, 1);
        for (char& c : shownText)
            if (c == '\r') c = '\n';
        if (shownText.empty()) {
            std::fflush(out);
            return;
        }
    }
    if (colours) std::fputs(ansiColour(color), out);
    std::fputs(shownText.c_str(), out);
    if (colours) std::fputs("\033[0m", out);
    atLineStart = shownText.back() == '\n';
    std::fflush(out);
}

void TTerminalProgress::setStatusText(const std::string& text) {
    status = text;
    if (console.updating()) draw();
    else console.progress(status);
}

void TTerminalProgress::setPosition(int p) {
    position = p < 0 ? 0 : p > 100 ? 100 : p;
    if (console.updating()) {
        draw();
        return;
    }
    // Plain lines: a line each time the bar passes a step, and when it starts again lower.
    const int step = position / plainPositionStep;
    if (lastPlainPosition < 0 || step != lastPlainPosition / plainPositionStep) {
        if (position > 0) console.progress(std::to_string(position) + "%");
        lastPlainPosition = position;
    }
}

void TTerminalProgress::draw() {
    std::string text = caption.empty() ? std::string() : caption + " ";
    std::string pos = std::to_string(position);
    text += std::string(3 - pos.size(), ' ') + pos + "% " + status;
    console.progress(text);
}

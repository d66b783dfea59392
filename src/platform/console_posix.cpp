#include "platform/console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr int held[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

volatile sig_atomic_t presses = 0;
volatile sig_atomic_t hangUps = 0;
int forceAt = 3;
const char* warnMoreText = "";
const char* warnLastText = "";
struct sigaction old[std::size(held)] {};

void onSignal(int sig) {
    if (sig == SIGHUP) {
        hangUps = 1;
        return;
    }
    presses = presses + 1;
    if (presses >= forceAt) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    const char* text = presses + 1 == forceAt ? warnLastText : warnMoreText;
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text));
}

}  // namespace

void prepareConsole() { ::signal(SIGPIPE, SIG_IGN); }

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

size_t terminalColumns(std::FILE* stream) {
    winsize ws{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col - 1;
    return 79;
}

void setEnvironment(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

TInterruptHold::TInterruptHold(int forcePresses, const char* warnMore, const char* warnLast) {
    presses = 0;
    hangUps = 0;
    forceAt = forcePresses;
    warnMoreText = warnMore;
    warnLastText = warnLast;
    struct sigaction sa {};
    sa.sa_handler = &onSignal;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(held); ++i) ::sigaction(held[i], &sa, &old[i]);
}

TInterruptHold::~TInterruptHold() {
    for (size_t i = 0; i < std::size(held); ++i) ::sigaction(held[i], &old[i], nullptr);
}

bool TInterruptHold::hungUp() { return hangUps != 0; }

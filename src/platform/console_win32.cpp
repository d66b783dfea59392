#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> presses{0};
std::atomic<bool> hangUps{false};
int forceAt = 3;
const char* warnMoreText = "";
const char* warnLastText = "";

void writeError(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI onControl(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The console is closing: Windows ends the process a few seconds later whatever the
        // handler does; until then the flash goes on.
        hangUps = true;
        return TRUE;
    }
    const int n = ++presses;
    if (n >= forceAt) return FALSE;  // the default handler ends the program
    writeError(n + 1 == forceAt ? warnLastText : warnMoreText);
    return TRUE;
}

}  // namespace

void prepareConsole() {
    // The results are the same bytes as on Linux: no CR before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // The progress line and the colours are escape sequences: Windows 10's console takes them
    // once asked to. Without a console (a pipe, a file) nothing changes.
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode))
        SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool isTerminal(std::FILE* stream) {
    // A console handle only: _isatty also says yes for the NUL device.
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

size_t terminalColumns(std::FILE* stream) {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (h != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(h, &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 1) return static_cast<size_t>(columns - 1);
    }
    return 79;
}

void setEnvironment(const std::string& name, const std::string& value) {
    // The C library's copy, which getenv reads, and the process's own.
    _putenv_s(name.c_str(), value.c_str());
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

TInterruptHold::TInterruptHold(int forcePresses, const char* warnMore, const char* warnLast) {
    presses = 0;
    hangUps = false;
    forceAt = forcePresses;
    warnMoreText = warnMore;
    warnLastText = warnLast;
    SetConsoleCtrlHandler(&onControl, TRUE);
}

TInterruptHold::~TInterruptHold() { SetConsoleCtrlHandler(&onControl, FALSE); }

bool TInterruptHold::hungUp() { return hangUps; }

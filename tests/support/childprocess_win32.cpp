#include "support/childprocess.h"

#include <windows.h>

#include <stdexcept>

namespace {

// One argument as the C runtime of the child splits its command line again: quoted when it
// holds a blank or a quote, a quote escaped with a backslash, and the backslashes before a
// quote (or the closing one) doubled.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

HANDLE handle(long long h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }
long long value(HANDLE h) { return static_cast<long long>(reinterpret_cast<intptr_t>(h)); }

}  // namespace

std::string windowsCommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& a : argv) line += (line.empty() ? "" : " ") + quoted(a);
    return line;
}

// Only a process attached to the child's console can send it a Ctrl-C: this one leaves its own
// console for the moment (its standard handles stay; under CTest they are pipes), ignores the
// Ctrl-C itself, and takes its console back after.
bool sendControlC(long long childPid) {
    const DWORD pid = static_cast<DWORD>(childPid);
    const bool hadConsole = GetConsoleWindow() != nullptr;
    FreeConsole();
    bool sent = false;
    if (AttachConsole(pid)) {
        SetConsoleCtrlHandler(nullptr, TRUE);
        sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
        // Children inherit the ignoring: it must not outlast the event.
        SetConsoleCtrlHandler(nullptr, FALSE);
    }
    if (hadConsole) AttachConsole(ATTACH_PARENT_PROCESS);
    return sent;
}

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::string& errPath) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    const HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                  nullptr);
    const HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string commandLine = windowsCommandLine(argv);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = writeEnd;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    // A console of its own (without a window): a Ctrl-C on it reaches the child alone.
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &info);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    if (!started) {
        CloseHandle(readEnd);
        throw std::runtime_error("cannot start " + argv[0] + ": error " + std::to_string(startError));
    }
    CloseHandle(info.hThread);
    pid = info.dwProcessId;
    process = value(info.hProcess);
    output = value(readEnd);
}

TChildProcess::~TChildProcess() {
    if (running()) {
        signal(childSigKill);
        waitEnd(5000);
    }
    if (output >= 0) CloseHandle(handle(output));
    if (process >= 0) CloseHandle(handle(process));
}

int TChildProcess::readOutput(std::string& into, int timeoutMs) {
    if (output < 0) return -1;
    // An anonymous pipe cannot be waited on: it is looked at every millisecond.
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(handle(output), nullptr, 0, nullptr, &waiting, nullptr)) return -1;
        if (waiting > 0) {
            char buf[4096];
            DWORD n = 0;
            if (!ReadFile(handle(output), buf, waiting < sizeof buf ? waiting : sizeof buf, &n, nullptr) || n == 0)
                return -1;
            into.append(buf, n);
            return 1;
        }
        if (GetTickCount64() >= end) return 0;
        Sleep(1);
    }
}

bool TChildProcess::running() {
    if (ended) return false;
    if (WaitForSingleObject(handle(process), 0) == WAIT_TIMEOUT) return true;
    DWORD code = 0;
    GetExitCodeProcess(handle(process), &code);
    ended = true;
    status = static_cast<int>(code);
    return false;
}

void TChildProcess::signal(int sig) {
    if (ended) return;
    if (sig != childSigKill && sendControlC(pid)) return;
    TerminateProcess(handle(process), static_cast<UINT>(128 + sig));
}

bool TChildProcess::waitEnd(int timeoutMs) {
    WaitForSingleObject(handle(process), static_cast<DWORD>(timeoutMs));
    return !running();
}

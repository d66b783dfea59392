#include "cliprocess.h"

#include <windows.h>

#include <chrono>
#include <cstring>

#include "support/childprocess.h"

namespace {

// The environment of this process with `set` put in and `unset` taken out, as CreateProcess
// takes it (names are compared without regard to case, as Windows does).
std::string environmentBlock(const std::map<std::string, std::string>& set, const std::vector<std::string>& unset) {
    auto sameName = [](const std::string& entry, const std::string& name) {
        return entry.size() > name.size() && entry[name.size()] == '=' &&
               _strnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
    };
    std::vector<std::string> entries;
    char* all = GetEnvironmentStringsA();
    for (const char* e = all; e && *e; e += std::strlen(e) + 1) {
        const std::string entry = e;
        bool replaced = false;
        for (const auto& [name, value] : set) replaced = replaced || sameName(entry, name);
        for (const auto& name : unset) replaced = replaced || sameName(entry, name);
        if (!replaced) entries.push_back(entry);
    }
    if (all) FreeEnvironmentStringsA(all);
    for (const auto& [name, value] : set) entries.push_back(name + "=" + value);
    std::string block;
    for (const auto& e : entries) block += e + '\0';
    return block + '\0';
}

// Appends what the pipe holds now; false once it is closed.
bool drain(HANDLE pipe, std::string& into) {
    for (;;) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return false;
        if (waiting == 0) return true;
        char buf[4096];
        DWORD n = 0;
        if (!ReadFile(pipe, buf, waiting < sizeof buf ? waiting : sizeof buf, &n, nullptr) || n == 0) return false;
        into.append(buf, n);
    }
}

}  // namespace

// Windows has no terminal to type into or to hang up (terminalInput, hangUpAfter): the tests
// that need one skip themselves there.
TCliRun runCliProcess(const std::vector<std::string>& args, const std::string& home,
                      const TCliProcessOptions& options) {
    TCliRun run;
    if (options.terminalInput || !options.hangUpAfter.empty()) return run;
    std::map<std::string, std::string> env{{"HOME", home},
                                           {"USERPROFILE", home},
                                           {"XDG_CONFIG_HOME", home + "/.config"},
                                           {"XDG_DATA_HOME", home + "/.local/share"},
                                           // The user's folders as Windows names them: the backups.
                                           {"APPDATA", home + "/.config"},
                                           {"LOCALAPPDATA", home + "/.local/share"}};
    for (const auto& [k, v] : options.env) env[k] = v;
    std::string block = environmentBlock(env, {"VELTRACE_SERIAL_PORTS"});

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr, in = nullptr, inWrite = nullptr;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    if (options.input) {
        // Room for all of it: a reader that never reads must not block the test.
        CreatePipe(&in, &inWrite, &inherit, static_cast<DWORD>(options.input->size() + 4096));
        SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    } else {
        in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    }
    std::vector<std::string> argv{VELTRACE_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string commandLine = windowsCommandLine(argv);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    const auto start = std::chrono::steady_clock::now();
    // A console of its own (without a window), for the Ctrl-C of `interrupts`.
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        block.data(), nullptr, &startup, &info);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(in);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        if (inWrite) CloseHandle(inWrite);
        return run;
    }
    CloseHandle(info.hThread);
    if (inWrite) {
        DWORD written = 0;
        WriteFile(inWrite, options.input->data(), static_cast<DWORD>(options.input->size()), &written, nullptr);
        CloseHandle(inWrite);
    }

    const auto deadline = start + std::chrono::milliseconds(options.timeoutMs);
    bool outOpen = true, errOpen = true, killed = false;
    TCliCues cues(options);
    while (outOpen || errOpen) {
        if (cues.interruptDue(run.err)) sendControlC(info.dwProcessId);
        cues.actWhenDue(run.err);
        if (!killed && std::chrono::steady_clock::now() >= deadline) {
            TerminateProcess(info.hProcess, 128 + childSigKill);
            killed = true;
        }
        if (outOpen) outOpen = drain(outRead, run.out);
        if (errOpen) errOpen = drain(errRead, run.err);
        Sleep(1);
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    run.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    run.status = static_cast<int>(code);
    CloseHandle(info.hProcess);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

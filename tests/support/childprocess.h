#pragma once
// A program started as a separate process for the tests: standard input from the null device,
// standard output into a pipe the test reads, standard error into a file. POSIX (posix_spawn)
// in childprocess_posix.cpp, Windows (CreateProcess) in childprocess_win32.cpp.

#include <string>
#include <vector>

// The signals a test asks a child to stop with. On Windows the child runs on a console of its
// own: SIGINT and SIGTERM become a Ctrl-C there (what a console program can act on), and SIGKILL,
// or a Ctrl-C that cannot be sent, ends it at once with 128+N as its exit status.
inline constexpr int childSigInt = 2;
inline constexpr int childSigKill = 9;
inline constexpr int childSigTerm = 15;

class TChildProcess {
public:
    // Starts argv[0] (a path) with the arguments. Throws std::runtime_error.
    TChildProcess(const std::vector<std::string>& argv, const std::string& errPath);
    ~TChildProcess();  // ends a child still running (SIGKILL) and closes the pipe
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Appends what standard output brings within `timeoutMs`: 1 bytes came, 0 nothing came in
    // the time, -1 the child closed its output.
    int readOutput(std::string& into, int timeoutMs);
    // True while it runs; once it ended, exitStatus() holds its status.
    bool running();
    // Its exit status: 128+N for death by signal N; -1 while it runs.
    int exitStatus() const { return status; }
    void signal(int sig);
    // Waits up to `timeoutMs` for its end; true when it ended.
    bool waitEnd(int timeoutMs);
    long long id() const { return pid; }

private:
    long long pid = -1;
    long long process = -1;  // Windows: the process handle
    long long output = -1;   // the pipe's read end (a descriptor or a handle)
    int status = -1;
    bool ended = false;
};

#ifdef _WIN32
// The command line that hands `argv` to a child's C runtime unchanged.
std::string windowsCommandLine(const std::vector<std::string>& argv);
// A Ctrl-C on the console of process `pid` (one made with a console of its own); false when it
// could not be sent.
bool sendControlC(long long pid);
#endif

#include "cliprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

TCliRun runCliProcess(const std::vector<std::string>& args, const std::string& home,
                      const TCliProcessOptions& options) {
    TCliRun run;
    int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return run;
    if (options.input && ::pipe2(inPipe, O_CLOEXEC) != 0) return run;
    int ptyMaster = -1, ptySlave = -1;
    const bool hangUp = !options.hangUpAfter.empty();
    if ((options.terminalInput || hangUp) && ::openpty(&ptyMaster, &ptySlave, nullptr, nullptr, nullptr) != 0) return run;

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
        ::unsetenv("VELTRACE_SERIAL_PORTS");
        for (const auto& [k, v] : options.env) ::setenv(k.c_str(), v.c_str(), 1);
        if (ptyMaster >= 0) ::close(ptyMaster);
        int in = -1;
        if (options.input) in = inPipe[0];
        else if (options.terminalInput || hangUp) {
            ::setsid();
            in = ptySlave;
            ::ioctl(in, TIOCSCTTY, 0);
        } else in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, STDIN_FILENO);
        ::dup2(hangUp ? ptySlave : outPipe[1], STDOUT_FILENO);
        ::dup2(hangUp ? ptySlave : errPipe[1], STDERR_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(VELTRACE_CLI_PATH));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(VELTRACE_CLI_PATH, argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (options.input) {
        ::close(inPipe[0]);
        // Small inputs fit the pipe; a reader that never reads must not block the test.
        ::fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
        [[maybe_unused]] ssize_t n = ::write(inPipe[1], options.input->data(), options.input->size());
        ::close(inPipe[1]);
    }
    if (ptySlave >= 0) ::close(ptySlave);
    if (options.terminalInput) {
        [[maybe_unused]] ssize_t n = ::write(ptyMaster, options.terminalInput->data(), options.terminalInput->size());
    }

    const auto deadline = start + std::chrono::milliseconds(options.timeoutMs);
    bool outOpen = true, errOpen = true, killed = false;
    TCliCues cues(options);
    while (outOpen || errOpen || (hangUp && ptyMaster >= 0)) {
        if (cues.interruptDue(run.err)) ::kill(pid, options.interruptSignal);
        cues.actWhenDue(run.err);
        if (hangUp && ptyMaster >= 0 && run.err.find(options.hangUpAfter) != std::string::npos) {
            ::close(ptyMaster);
            ptyMaster = -1;
            continue;
        }
        pollfd fds[3] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0},
                         {ptyMaster, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 && !killed) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        ::poll(fds, ptyMaster >= 0 ? 3 : 2, left > 0 ? static_cast<int>(left) : 100);
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(got));
            else (i == 0 ? outOpen : errOpen) = false;
        }
        if (ptyMaster >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            // The terminal's echo of what was typed (not needed), or the program's output.
            const ssize_t got = ::read(ptyMaster, buf, sizeof buf);
            if (hangUp && got > 0) run.err.append(buf, static_cast<size_t>(got));
            if (got <= 0) {
                ::close(ptyMaster);
                ptyMaster = -1;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    if (ptyMaster >= 0) ::close(ptyMaster);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

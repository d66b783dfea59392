#include "support/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::string& errPath) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t child = -1;
    const int rc = ::posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    pid = child;
    output = pipeFds[0];
}

TChildProcess::~TChildProcess() {
    if (running()) {
        signal(childSigKill);
        waitEnd(5000);
    }
    if (output >= 0) ::close(static_cast<int>(output));
}

int TChildProcess::readOutput(std::string& into, int timeoutMs) {
    if (output < 0) return -1;
    pollfd p{static_cast<int>(output), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return 0;
    char buf[4096];
    const ssize_t n = ::read(static_cast<int>(output), buf, sizeof buf);
    if (n <= 0) return -1;
    into.append(buf, static_cast<size_t>(n));
    return 1;
}

bool TChildProcess::running() {
    if (ended) return false;
    int st = 0;
    const pid_t r = ::waitpid(static_cast<pid_t>(pid), &st, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) return true;
    ended = true;
    status = r < 0 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    return false;
}

void TChildProcess::signal(int sig) {
    if (!ended) ::kill(static_cast<pid_t>(pid), sig);
}

bool TChildProcess::waitEnd(int timeoutMs) {
    for (int waited = 0;; waited += 2) {
        if (!running()) return true;
        if (waited >= timeoutMs) return false;
        ::usleep(2000);
    }
}

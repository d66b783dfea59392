#pragma once
// Runs the real veltrace-cli as a separate process, with its own HOME and XDG folders, and
// collects its exit status, standard output and standard error.

#include <csignal>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct TCliRun {
    int status = -1;  // the exit status; 128 + signal when a signal ended it
    std::string out;
    std::string err;
    long long elapsedMs = 0;
};

struct TCliProcessOptions {
    // Given to standard input through a pipe; without it, standard input is /dev/null.
    std::optional<std::string> input;
    // Standard input is a pseudo-terminal and this is typed into it.
    std::optional<std::string> terminalInput;
    std::map<std::string, std::string> env;  // more variables
    // Once standard error holds `interruptAfter`, SIGINT is sent `interrupts` times, each next one
    // after the program answered the one before with a line that holds `interruptAnswer`.
    std::string interruptAfter;
    std::string interruptAnswer;
    int interrupts = 0;
    int interruptSignal = SIGINT;
    // Standard input, output and error are the controlling terminal, hung up once the output
    // holds this; `err` holds the output until then.
    std::string hangUpAfter;
    // Run once, while the program runs, as soon as standard error holds `actAfter`.
    std::string actAfter;
    std::function<void()> act;
    int timeoutMs = 20000;
};

// What a run does as standard error grows, the same on every system.
class TCliCues {
public:
    explicit TCliCues(const TCliProcessOptions& options) : options(options) {}
    // True when the next interrupt is due now (it counts as sent).
    bool interruptDue(const std::string& err) {
        if (interrupted >= options.interrupts || err.find(options.interruptAfter) == std::string::npos) return false;
        if (interrupted > 0 && answers(err) < interrupted) return false;
        ++interrupted;
        return true;
    }
    // Runs the act once, as soon as its cue is there.
    void actWhenDue(const std::string& err) {
        if (!options.act || acted || err.find(options.actAfter) == std::string::npos) return;
        options.act();
        acted = true;
    }

private:
    int answers(const std::string& err) const {
        int n = 0;
        for (size_t at = err.find(options.interruptAnswer); at != std::string::npos;
             at = err.find(options.interruptAnswer, at + 1))
            ++n;
        return n;
    }
    const TCliProcessOptions& options;
    int interrupted = 0;
    bool acted = false;
};

// `home` becomes HOME; XDG_CONFIG_HOME and XDG_DATA_HOME are its .config and .local/share.
TCliRun runCliProcess(const std::vector<std::string>& args, const std::string& home,
                      const TCliProcessOptions& options = {});

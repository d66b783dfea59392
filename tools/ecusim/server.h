#pragma once
// Serves the simulated ECU over its one line: TCP clients one after another, or a
// pseudo-terminal for as long as the simulator runs.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "machine.h"
#include "options.h"
#include "transcript.h"
#include "transport.h"

namespace ecusim {

class TPty;

class TServer {
public:
    // `stopFd` becomes readable when the simulator is to stop; `start` is the moment the
    // transcript counts from.
    TServer(const TSimOptions& options, TEcuMachine& machine, TTranscript& log, TSysFd stopFd,
            std::chrono::steady_clock::time_point start);

    // Both return when stopped. Throw ETransportError when the line cannot be set up.
    void serveTcp();
    void servePty();

private:
    enum class TEnd { Closed, Dropped, Stopped, Failed };
    struct TLine;
    TEnd serveConnection(TSysFd fd, const TPty* pty);
    // Hands the received bytes that have crossed the line to the ECU; an end when the line is
    // cut (--drop-after).
    std::optional<TEnd> deliver(TLine& line, TSysFd fd, const TPty* pty);
    // The fault switches count every byte the line brought; then the ECU takes what it may.
    std::optional<TEnd> received(TLine& line, TSysFd fd, const TPty* pty, const std::string& chunk, int lineRate);
    // Queues the replies that are due and sends what has crossed; false when the peer is gone.
    bool transmit(TLine& line, TSysFd fd, const TPty* pty);
    // Writes bytes to the tool; false when the peer is gone.
    bool writeOut(TSysFd fd, const TPty* pty, const std::string& out);
    // The rate received bytes went out at, judged when they are read.
    int judgeToolRate(const TPty* pty);
    void take(const std::string& bytes, const TPty* pty, int lineRate);
    void sampleToolRate(const TPty* pty);
    bool stopRequested() const;
    int64_t nowMs() const;
    int64_t nowNs() const;
    static const char* endText(TEnd end);

    const TSimOptions& options;
    TEcuMachine& machine;
    TTranscript& log;
    TSysFd stopFd;
    std::chrono::steady_clock::time_point start;
    int lastToolRate = 0;  // the pseudo-terminal's rate as last seen
};

// The time the simulator has run, for the transcript: every part counts from one start.
int64_t msSince(std::chrono::steady_clock::time_point start);

}  // namespace ecusim

#pragma once
// The transcript of everything that crossed the simulated line, one line per chunk:
//
//   <ms> <mode> <kind> <payload>
//
//   ms       milliseconds since the simulator started
//   mode     the ECU's mode when the chunk crossed: command, outside, bootloader
//   kind     rx       bytes received from the tool (payload: hex digits, then the bytes quoted)
//            tx       bytes sent to the tool (the same payload)
//            rx-lost  bytes that arrived while the tool's bit rate differed from the ECU's
//            tx-lost  bytes sent while the rates differed, or that the tool did not take
//            ev       something the ECU did (payload: words, see the --help text)
//
// Hex payloads are upper-case digits with no spaces ("4D616E"), followed by a space and the
// same bytes as a quoted text ("Man") for the human reader. Every line is flushed at once, so a
// test can read the file while the simulator runs.

#include <cstdint>
#include <cstdio>
#include <string>

namespace ecusim {

class TTranscript {
public:
    TTranscript() = default;
    ~TTranscript();
    TTranscript(const TTranscript&) = delete;
    TTranscript& operator=(const TTranscript&) = delete;

    // Starts writing to `path` (truncating it). Throws ESimFileError when it cannot be opened.
    void open(const std::string& path);

    void chunk(int64_t ms, const char* mode, const char* kind, const std::string& bytes);
    void event(int64_t ms, const char* mode, const std::string& text);

    // While held, lines wait; `release` writes `first` (a chunk line) and then them. So the
    // bytes received come before the events they caused, though they are known only after.
    void hold() { held = true; }
    void release(int64_t ms, const char* mode, const char* kind, const std::string& bytes);

private:
    void write(const std::string& line);

    std::FILE* file = nullptr;
    bool held = false;
    std::string waiting;
};

}  // namespace ecusim

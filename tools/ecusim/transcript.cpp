#include "transcript.h"

#include <cerrno>
#include <cstring>

#include "identity.h"
#include "platform/convert.h"

namespace ecusim {

TTranscript::~TTranscript() {
    if (file) std::fclose(file);
}

void TTranscript::open(const std::string& path) {
    file = std::fopen(path.c_str(), "wb");  // LF line ends on every system
    if (!file) throw ESimFileError(path + ": " + std::strerror(errno));
}

namespace {

std::string chunkLine(int64_t ms, const char* mode, const char* kind, const std::string& bytes) {
    if (bytes.empty()) return {};
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) hex += hexHH(c);
    return std::to_string(ms) + " " + mode + " " + kind + " " + hex + " " + quoteBytes(bytes) + "\n";
}

}  // namespace

void TTranscript::write(const std::string& line) {
    if (!file || line.empty()) return;
    if (held) {
        waiting += line;
        return;
    }
    std::fputs(line.c_str(), file);
    std::fflush(file);
}

void TTranscript::chunk(int64_t ms, const char* mode, const char* kind, const std::string& bytes) {
    write(chunkLine(ms, mode, kind, bytes));
}

void TTranscript::event(int64_t ms, const char* mode, const std::string& text) {
    write(std::to_string(ms) + " " + mode + " ev " + text + "\n");
}

void TTranscript::release(int64_t ms, const char* mode, const char* kind, const std::string& bytes) {
    held = false;
    const std::string lines = chunkLine(ms, mode, kind, bytes) + waiting;
    waiting.clear();
    write(lines);
}

}  // namespace ecusim

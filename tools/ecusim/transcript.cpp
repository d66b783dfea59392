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
    file = std::fopen(path.c_str(), "w");
    if (!file) throw ESimFileError(path + ": " + std::strerror(errno));
}

void TTranscript::chunk(int64_t ms, const char* mode, const char* kind, const std::string& bytes) {
    if (!file || bytes.empty()) return;
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) hex += hexHH(c);
    std::fprintf(file, "%lld %s %s %s %s\n", static_cast<long long>(ms), mode, kind, hex.c_str(),
                 quoteBytes(bytes).c_str());
    std::fflush(file);
}

void TTranscript::event(int64_t ms, const char* mode, const std::string& text) {
    if (!file) return;
    std::fprintf(file, "%lld %s ev %s\n", static_cast<long long>(ms), mode, text.c_str());
    std::fflush(file);
}

}  // namespace ecusim

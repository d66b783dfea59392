#include "platform/versionreader.h"

#include <windows.h>

// A Windows program carries its version information as a resource (read by
// programFileVersion), not in a section of its own.
std::vector<uint8_t> readVersionSection(const std::string&) { return {}; }

std::string runningProgramPath() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) return std::string(path.data(), length);
        path.resize(path.size() * 2);  // cut off: a longer path
    }
}

std::vector<uint8_t> readRunningVersionSection() { return {}; }

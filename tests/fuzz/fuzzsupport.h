#pragma once
// What the fuzz targets share: a file in memory for the readers that take a file name, and a
// check that ends the run as a crash, so that a broken promise counts as a finding.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A file that lives in memory; each input replaces its contents.
class TMemoryFile {
public:
    TMemoryFile() : fd(::memfd_create("fuzz-input", 0)), path("/proc/self/fd/" + std::to_string(fd)) {
        if (fd < 0) std::abort();
    }
    const std::string& hold(const uint8_t* data, size_t size) {
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
        return path;
    }

private:
    int fd;
    std::string path;
};

inline void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

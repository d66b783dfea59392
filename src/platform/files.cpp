#include "platform/files.h"

#include <cerrno>
#include <cstdio>

int readWholeFile(const std::string& path, std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return errno;
    text.clear();
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
    const int err = std::ferror(f) ? (errno ? errno : EIO) : 0;
    std::fclose(f);
    return err;
}

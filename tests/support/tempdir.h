#pragma once
// A temporary folder that is removed with everything in it when the test ends.

#include <cstdlib>
#include <filesystem>
#include <string>

struct TTempDir {
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrace-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path = pattern;
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    std::string path;
};

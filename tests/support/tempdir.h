#pragma once
// A temporary folder that is removed with everything in it when the test ends.

#include <cstdlib>
#include <filesystem>
#include <string>

struct TTempDir {
    TTempDir() {
#ifdef _WIN32
        // No mkdtemp: a name that no other folder has, made with create_directory's refusal.
        for (unsigned n = 0;; ++n) {
            const auto candidate = std::filesystem::temp_directory_path() /
                                   ("veltrace-" + std::to_string(std::rand()) + "-" + std::to_string(n));
            if (std::filesystem::create_directory(candidate)) {
                path = candidate.string();
                break;
            }
            if (n > 1000) std::abort();
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrace-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path = pattern;
#endif
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    std::string path;
};

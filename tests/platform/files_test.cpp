// Whole files in and out, on the real file system.

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files.h"
#include "support/tempdir.h"

// What this program fsync'd, by path; each fsync is then done for real.
static std::vector<std::string> synced;
extern "C" int fsync(int fd) {
    char path[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    if (n > 0) synced.emplace_back(path, static_cast<size_t>(n));
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

// A power loss right after the write must not take the file's name, nor the folders made for it.
TEST(Files, ANewFileAndTheFoldersMadeForItAreSyncedIntoTheirFolders) {
    TTempDir dir;
    const std::string root = std::filesystem::canonical(dir.path).string();
    synced.clear();
    ASSERT_EQ(createFolders(root + "/a/b"), 0);
    ASSERT_EQ(writeNewFile(root + "/a/b/f.txt", "text"), 0);
    EXPECT_EQ(synced, (std::vector<std::string>{root, root + "/a", root + "/a/b/f.txt", root + "/a/b"}));
}

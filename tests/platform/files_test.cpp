// Whole files in and out, on the real file system.

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/files.h"
#include "support/tempdir.h"

namespace {

std::mutex syncedLock;
std::vector<std::string> synced;  // what this program fsync'd, by path

}  // namespace

// Every fsync of this program is noted by the path of what it synced, then done for real.
extern "C" int fsync(int fd) {
    char path[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    if (n > 0) {
        std::lock_guard<std::mutex> hold(syncedLock);
        synced.emplace_back(path, static_cast<size_t>(n));
    }
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

namespace {

using Strings = std::vector<std::string>;

// A power loss right after the write must not take the file's name, nor the folders made for it.
TEST(Files, ANewFileAndTheFoldersMadeForItAreSyncedIntoTheirFolders) {
    TTempDir dir;
    const std::string root = std::filesystem::canonical(dir.path).string();
    synced.clear();
    ASSERT_EQ(createFolders(root + "/a/b"), 0);
    ASSERT_EQ(writeNewFile(root + "/a/b/f.txt", "text"), 0);
    EXPECT_EQ(synced, (Strings{root, root + "/a", root + "/a/b/f.txt", root + "/a/b"}));
    EXPECT_EQ(writeNewFile(root + "/a/b/f.txt", "other"), EEXIST);
    EXPECT_EQ(createFolders(root + "/a/b/f.txt"), ENOTDIR);
    std::string text;
    EXPECT_EQ(readWholeFile(root + "/a/b/f.txt", text), "");
    EXPECT_EQ(text, "text");
}

TEST(Files, ReadingTakesRegularFilesUpToTheBound) {
    TTempDir dir;
    std::ofstream(dir.path + "/ten", std::ios::binary) << "0123456789";
    const struct {
        std::string path;
        uint64_t maxBytes;
        std::string why;
    } cases[] = {
        {dir.path + "/ten", 10, ""},
        {dir.path + "/ten", 9, "larger than 9 bytes, the most this tool reads"},
        {dir.path, 10, "Is a directory"},
        {dir.path + "/missing", 10, "No such file or directory"},
    };
    for (const auto& c : cases) {
        std::string text = "old";
        EXPECT_EQ(readWholeFile(c.path, text, c.maxBytes), c.why) << c.path;
        EXPECT_EQ(text, c.why.empty() ? "0123456789" : "") << c.path;
    }
}

}  // namespace

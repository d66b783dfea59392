#include "platform/versionreader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(VersionReader, ProgramFileWithBlock) {
    const TVersionReader& own = programVersion();
    ASSERT_TRUE(own.available());
    EXPECT_GT(own.blockSize(), 0u);
    EXPECT_EQ(own.path(), fs::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(getVersionInfo("FileVersion"), VELTRACE_PROJECT_VERSION);
    EXPECT_EQ(getVersionInfo("ProductName"), "Veltrace");
    EXPECT_EQ(getVersionInfo("NoSuchString"), "");
}

TEST(VersionReader, FilesWithoutBlock) {
    TTempDir dir;
    std::string head(4096, '\0');
    std::ifstream(fs::read_symlink("/proc/self/exe"), std::ios::binary).read(head.data(), 4096);
    writeFile(fs::path(dir.path) / "truncated", head);  // program headers, sections cut off
    writeFile(fs::path(dir.path) / "text", "FileVersion 1.0\n");
    writeFile(fs::path(dir.path) / "empty", "");
    for (const std::string& path :
         {std::string(VELTRACE_ECUSIM_PATH), dir.path + "/truncated", dir.path + "/text",
          dir.path + "/empty", dir.path + "/missing", dir.path}) {
        const TVersionReader reader(path);
        EXPECT_FALSE(reader.available()) << path;
        EXPECT_EQ(reader.blockSize(), 0u) << path;
        EXPECT_EQ(reader.getVersionInfo("FileVersion"), "") << path;
    }
}

TEST(VersionReader, PathLongerThan260Characters) {
    TTempDir dir;
    fs::path folder = dir.path;
    for (int i = 0; i < 4; ++i) folder /= std::string(80, char('a' + i));
    fs::create_directories(folder);
    const fs::path link = folder / "veltrace";
    fs::create_symlink(fs::read_symlink("/proc/self/exe"), link);
    ASSERT_GT(link.string().size(), 260u);

    const TVersionReader reader(link.string());
    EXPECT_EQ(reader.path(), link.string());
    EXPECT_EQ(reader.getVersionInfo("FileVersion"), VELTRACE_PROJECT_VERSION);
}

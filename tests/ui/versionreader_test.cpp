#include "ui/versionreader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/tempdir.h"
#include "ui/versionblock.h"

namespace fs = std::filesystem;

namespace {

const TVersionString sampleStrings[] = {
    {"CompanyName", "Harnwick"}, {"FileVersion", "2.3.4"}, {"ProductName", "Veltrace"}};

std::vector<uint8_t> sampleBlock(uint16_t language = 0x1009, uint16_t codePage = 0x04E4) {
    return buildVersionBlock(language, codePage, sampleStrings);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(VersionBlock, FirstTranslationNamesTheStringTable) {
    EXPECT_EQ(translationKey(0x1009, 0x04E4), "100904e4");
    EXPECT_EQ(translationKey(0x0009, 0x0004), "00090004");
    EXPECT_EQ(translationKey(0xABCD, 0xEF01), "abcdef01");

    const std::vector<uint8_t> block = sampleBlock();
    EXPECT_EQ(block.size() % 4, 0u);
    const auto translation = queryVersionValue(block, "\\VarFileInfo\\Translation");
    ASSERT_TRUE(translation);
    EXPECT_EQ(std::vector<uint8_t>(translation->begin(), translation->end()),
              (std::vector<uint8_t>{0x09, 0x10, 0xE4, 0x04}));
    EXPECT_TRUE(queryVersionValue(block, "\\StringFileInfo\\100904e4\\FileVersion"));
    EXPECT_TRUE(queryVersionValue(block, "\\"));

    EXPECT_EQ(versionString(block, "FileVersion"), "2.3.4");
    EXPECT_EQ(versionString(block, "CompanyName"), "Harnwick");
    EXPECT_EQ(versionString(block, "ProductName"), "Veltrace");
    EXPECT_EQ(versionString(block, "Comments"), "");
    EXPECT_EQ(versionString(block, "FileVersio"), "");
}

TEST(VersionBlock, MissingTranslationOrForeignBlockReadsEmpty) {
    std::vector<uint8_t> block = sampleBlock();
    const std::string bytes(block.begin(), block.end());
    // Renaming the translation node leaves the strings unreachable.
    std::vector<uint8_t> noTranslation = block;
    noTranslation[bytes.find("Translation")] = 't';
    EXPECT_EQ(versionString(noTranslation, "FileVersion"), "");
    // A block whose root is not ours.
    std::vector<uint8_t> foreign = block;
    foreign[bytes.find("VersionInfo")] = 'v';
    EXPECT_EQ(versionString(foreign, "FileVersion"), "");
    // Padding after the root node, as a program section may carry, is ignored.
    block.resize(block.size() + 16, 0);
    EXPECT_EQ(versionString(block, "FileVersion"), "2.3.4");
}

TEST(VersionBlock, MalformedBlocksNeverReadOutside) {
    const std::vector<uint8_t> block = sampleBlock();
    for (size_t size = 0; size < block.size(); ++size) {
        const std::vector<uint8_t> cut(block.begin(), block.begin() + long(size));
        EXPECT_EQ(versionString(cut, "FileVersion"), "") << "cut to " << size;
    }
    for (size_t at = 0; at < block.size(); ++at) {
        for (uint8_t value : {uint8_t(0x00), uint8_t(0x03), uint8_t(0xFF)}) {
            std::vector<uint8_t> bad = block;
            bad[at] = value;
            // At most the stored value, "2.3.4" and its zero.
            EXPECT_LE(versionString(bad, "FileVersion").size(), 6u) << "byte " << at;
        }
    }
}

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

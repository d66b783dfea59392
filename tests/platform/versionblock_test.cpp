#include "platform/versionblock.h"

#include <gtest/gtest.h>

namespace {

const TVersionString sampleStrings[] = {
    {"CompanyName", "Harnwick"}, {"FileVersion", "2.3.4"}, {"ProductName", "Veltrace"}};

std::vector<uint8_t> sampleBlock(uint16_t language = 0x1009, uint16_t codePage = 0x04E4) {
    return buildVersionBlock(language, codePage, sampleStrings);
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

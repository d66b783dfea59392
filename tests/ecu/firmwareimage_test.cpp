#include "ecu/firmwareimage.h"

#include <gtest/gtest.h>

#include "support/hextext.h"
#include "support/tempdir.h"

// Every rule a firmware file must pass, with the one text each front shows for it.
TEST(FirmwareImage, FilesTheEcuCannotTakeAreRefusedWithOneTextPerRule) {
    TTempDir dir;
    const std::string end = hexLine(1, 0, {}) + "\r\n";
    const std::string skipped = hexLine(3, 0, {0, 0, 0, 0}) + "\r\n";  // changes nothing
    const struct {
        std::string name, text;
        TImageFault fault;
        std::string reason;
        size_t warnings;
    } cases[] = {
        {"good.hex", hexLine(0, 0, {1, 2}) + "\r\n" + skipped + end, TImageFault::None, "", 1},
        {"largest.hex", linearLine(1) + "\r\n" + hexLine(0, 0xFFFF, {1}) + "\r\n" + end, TImageFault::None, "", 0},
        {"bad.hex", ":10000000FF\r\n" + end, TImageFault::Malformed, "line 1: record too short", 0},
        {"cut.hex", hexLine(0, 0, {1}) + "\r\n", TImageFault::Malformed,
         "has no end-of-file record: the file may be cut short", 0},
        {"large.hex", skipped + linearLine(2) + "\r\n" + hexLine(0, 0, {1}) + "\r\n" + end, TImageFault::TooLarge,
         "firmware image too large: 132096 bytes (the ECU takes at most 131072)", 1},
        {"nodata.hex", ":0070000090\r\n" + end, TImageFault::NoData, "firmware image holds no data", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = writeFile(dir.path, c.name, c.text);
        const TFirmwareImage loaded = loadFirmwareImage(file);
        EXPECT_EQ(loaded.fault, c.fault);
        EXPECT_EQ(loaded.warnings.size(), c.warnings);
        if (c.fault == TImageFault::None) {
            ASSERT_TRUE(loaded.hex);
            EXPECT_EQ(imageRefusal(*loaded.hex), "");
            EXPECT_EQ(loaded.hex->image[0], c.name == "good.hex" ? 1 : 0);
            EXPECT_THROW(loaded.hex->closeFile(), EInOutError);  // its file is let go already
            continue;
        }
        EXPECT_FALSE(loaded.hex);
        EXPECT_EQ(loaded.message, "Unable to read firmware image!");
        EXPECT_EQ(loaded.detail, file + ": " + c.reason);
    }
}

#include "data/ihexfile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/convert.h"
#include "support/hextext.h"
#include "support/tempdir.h"

using ::testing::HasSubstr;

namespace {

// The text of the EParseError a line raises, or "" when it parses.
std::string parseFailure(const std::string& line) {
    try {
        THexRec rec(line);
        return "";
    } catch (const EParseError& e) {
        return e.what();
    }
}

std::string lines(const std::vector<std::string>& records, const std::string& end = "\r\n") {
    std::string out;
    for (const auto& r : records) out += r + end;
    return out;
}

// The records, then the end-of-file record that a whole file has.
std::string withEnd(std::vector<std::string> records) {
    records.push_back(":00000001FF");
    return lines(records);
}

size_t countRecords(const TIHexFile& hex) {
    size_t n = 0;
    for (const THexRec* r = hex.records.get(); r; r = r->next.get()) ++n;
    return n;
}

// A firmware-path reader (8192 / 1024) over a scratch file.
struct HexFixture : ::testing::Test {
    TTempDir dir;
    TIHexFile hex{8192, 1024};

    bool read(const std::string& bytes) {
        hex.openFile(writeFile(dir.path, "fw.hex", bytes));
        return hex.readRecords();
    }
    // Reads and lays out; fails the test when either step fails.
    void load(const std::string& bytes) {
        ASSERT_TRUE(read(bytes));
        ASSERT_TRUE(hex.buildImage());
    }
    bool allZeroFrom(size_t from) const {
        for (size_t i = from; i < hex.image.size(); ++i)
            if (hex.image[i] != 0) return false;
        return true;
    }
};

}  // namespace

// ---- parsing single lines ----

TEST(HexRecord, ParsesEveryFieldOfALine) {
    THexRec rec(":0220000041425B");
    EXPECT_EQ(rec.byteCount, 2);
    EXPECT_EQ(rec.address, 0x2000);
    EXPECT_EQ(rec.recordType, 0);
    EXPECT_EQ(rec.checksum, 0x5B);
    EXPECT_EQ(rec.data, (std::vector<uint8_t>{0x41, 0x42}));
    EXPECT_EQ(rec.next, nullptr);

    THexRec full(hexLine(0, 0xFFFF, std::vector<uint8_t>(255, 0xEE)));
    EXPECT_EQ(full.byteCount, 255);
    EXPECT_EQ(full.address, 0xFFFF);
    EXPECT_EQ(full.data, std::vector<uint8_t>(255, 0xEE));
}

TEST(HexRecord, LowerCaseDigitsParseLikeUpperCase) {
    const std::vector<uint8_t> data{0xAB, 0xCD, 0xEF, 0xFA};
    THexRec lower(hexLine(0, 0xBEEF, data, true));
    THexRec upper(hexLine(0, 0xBEEF, data, false));
    EXPECT_EQ(lower.address, upper.address);
    EXPECT_EQ(lower.checksum, upper.checksum);
    EXPECT_EQ(lower.data, upper.data);
    EXPECT_EQ(parseFailure(":0a0000000102030405060708090abf"), "");
}

TEST(HexRecord, MalformedLinesFailWithTheirTexts) {
    const std::string begin = "incorrect record begin character";
    EXPECT_EQ(parseFailure(""), begin);
    EXPECT_EQ(parseFailure("00000001FF"), begin);
    EXPECT_EQ(parseFailure(" :00000001FF"), begin);
    EXPECT_EQ(parseFailure("\n:00000001FF"), begin);

    EXPECT_EQ(parseFailure(":00000001"), "record shorter than minimum");  // 9 characters
    EXPECT_EQ(parseFailure(":"), "record shorter than minimum");
    EXPECT_EQ(parseFailure(":00000001F"), "record too short");    // 10 characters
    EXPECT_EQ(parseFailure(":00000001FF "), "record too short");  // a trailing space
    EXPECT_EQ(parseFailure(":00000001FF\n"), "record too short");
    EXPECT_EQ(parseFailure(":020000000102FB00"), "record too short");  // too long says the same
    EXPECT_EQ(parseFailure(":03000000010203"), "record too short");

    EXPECT_EQ(parseFailure(":000000FD03"), "unrecognised record type: 253");
    EXPECT_EQ(parseFailure(":000000FF01"), "unrecognised record type: 255");
    EXPECT_EQ(parseFailure(hexLine(252, 0, {1})), "");

    EXPECT_EQ(parseFailure(":00000001FE"), "checksum error");
    EXPECT_EQ(parseFailure(":020000000102FC"), "checksum error");
    EXPECT_EQ(parseFailure(":020000000103FB"), "checksum error");  // a data byte wrong
    EXPECT_EQ(parseFailure(":020001000102FB"), "checksum error");  // the address's low byte
}

TEST(HexRecord, SegmentRecordWithoutTwoDataBytesIsRefused) {
    EXPECT_THROW(THexRec(hexLine(2, 0, {})), EParseError);
    EXPECT_THROW(THexRec(hexLine(2, 0, {0x10})), EParseError);
    THexRec ok(hexLine(2, 0, {0x10, 0x00, 0x77}));  // more than two: the first two count
    EXPECT_EQ(ok.data.size(), 3u);
}

TEST(HexRecord, NonHexDigitInAnyFieldIsAConversionError) {
    EXPECT_THROW(THexRec(":G0000001FF"), EConvertError);      // count
    EXPECT_THROW(THexRec(":0000G001FF"), EConvertError);      // address
    EXPECT_THROW(THexRec(":000000G1FF"), EConvertError);      // type
    EXPECT_THROW(THexRec(":00000001FG"), EConvertError);      // checksum
    EXPECT_THROW(THexRec(":0200000001G2FB"), EConvertError);  // data
    // Signs and blanks that a lenient number reader would take.
    EXPECT_THROW(THexRec(":00000001 F"), EConvertError);
    EXPECT_THROW(THexRec(":+1000000FF0"), EConvertError);
    EXPECT_THROW(THexRec(":0000-001FF"), EConvertError);
}

TEST(HexRecord, ByteAndWordConversion) {
    EXPECT_EQ(hexByte("ff"), 255);
    EXPECT_EQ(hexByte("0A"), 10);
    EXPECT_EQ(hexWord("FfFf"), 0xFFFF);
    EXPECT_EQ(hexWord("0100"), 0x100);
    for (const char* bad : {"", "1", "123", "x1", "1 ", "-1", "0x"}) EXPECT_THROW(hexByte(bad), EConvertError) << bad;
    for (const char* bad : {"", "FFF", "FFFFF", "0x12", " 123"}) EXPECT_THROW(hexWord(bad), EConvertError) << bad;
}

TEST(HexRecord, LongChainIsReleasedWithoutDeepRecursion) {
    // A recursive release of a million records would run out of stack.
    auto head = std::make_unique<THexRec>(":00000001FF");
    THexRec* tail = head.get();
    for (int i = 0; i < 1000000; ++i) {
        tail->next = std::make_unique<THexRec>(":00000001FF");
        tail = tail->next.get();
    }
    head.reset();
    SUCCEED();
}

// ---- reading files: line ends, Ctrl-Z, failures ----

TEST_F(HexFixture, CrLfAndCrLfLineEndsLoadAlike) {
    const std::vector<std::string> recs{":020000000102FB", ":0220000041425B", ":00000001FF"};
    for (const std::string end : {"\r", "\n", "\r\n"}) {
        TIHexFile h(8192, 1024);
        h.openFile(writeFile(dir.path, "f.hex", lines(recs, end)));
        ASSERT_TRUE(h.readRecords()) << quoteBytes(end) << ": " << h.failure;
        EXPECT_EQ(countRecords(h), 3u);
        ASSERT_TRUE(h.buildImage());
        EXPECT_EQ(h.imageSize, 9216u);
        EXPECT_EQ(h.image[1], 0x02);
        EXPECT_EQ(h.image[8193], 0x42);
        h.closeFile();
    }
    // Mixed ends, and a last line without any end.
    ASSERT_TRUE(read(":020000000102FB\r:0220000041425B\n:00000001FF"));
    EXPECT_EQ(countRecords(hex), 3u);
    ASSERT_TRUE(read(":020000000102FB\n:0220000041425B\r\n:00000001FF\n"));
    EXPECT_EQ(countRecords(hex), 3u);
}

TEST_F(HexFixture, OnlyCrLfIsOneLineEnd) {
    EXPECT_FALSE(read(":020000000102FB\r\n\n:00000001FF\r\n"));  // LF after CR LF ends a blank line
    EXPECT_EQ(hex.failure, "line 2: incorrect record begin character");
    EXPECT_FALSE(read(":020000000102FB\n\r:00000001FF\r"));  // LF CR: two ends
    EXPECT_FALSE(read(":020000000102FB\n\n:00000001FF\n"));
    EXPECT_EQ(hex.records, nullptr);
}

TEST_F(HexFixture, CtrlZEndsTheFile) {
    ASSERT_TRUE(read(":020000000102FB\r\n:00000001FF\r\n\x1A" "garbage\r\nmore garbage"));
    EXPECT_EQ(countRecords(hex), 2u);
    ASSERT_TRUE(read(":020000000102FB\r\n:00000001FF\x1A\r\nrubbish"));  // last line cut by Ctrl-Z
    EXPECT_EQ(countRecords(hex), 2u);
    EXPECT_FALSE(read(":020000000102FB\r\n:0000\x1A" "0001FF\r\n"));  // a line cut short
    EXPECT_FALSE(read("\x1A:garbage"));  // nothing before Ctrl-Z: an empty file
    EXPECT_EQ(hex.failure, "is empty");
    EXPECT_EQ(hex.records, nullptr);
}

TEST_F(HexFixture, BlankLinesAndTrailingSpacesFail) {
    EXPECT_FALSE(read(":020000000102FB\r\n\r\n:00000001FF\r\n"));
    EXPECT_FALSE(read(":020000000102FB\r\n:00000001FF\r\n\r\n"));  // trailing blank line
    EXPECT_FALSE(read(":020000000102FB\r\r"));
    EXPECT_FALSE(read(":020000000102FB \r\n:00000001FF\r\n"));
    EXPECT_FALSE(read("\r\n"));
    EXPECT_FALSE(read(""));  // an empty file holds no lines, and no end record
    EXPECT_EQ(hex.failure, "is empty");
    EXPECT_EQ(hex.records, nullptr);
}

TEST_F(HexFixture, LinesAfterTheEndRecordAreReadAndMustBeWellFormed) {
    EXPECT_FALSE(read(lines({":020000000102FB", ":00000001FF", ":0200000001"})));
    load(lines({":00000001FF", ":0220000041425B"}));
    EXPECT_EQ(hex.imageSize, 9216u);
    EXPECT_EQ(hex.image[8192], 0x41);
}

TEST_F(HexFixture, FailureEmptiesTheListAndLeavesTheImageAlone) {
    load(withEnd({":020000000102FB"}));
    EXPECT_FALSE(read(lines({":0220000041425B", ":00000001FF", ":00000001FE"})));
    EXPECT_EQ(hex.records, nullptr);
    EXPECT_TRUE(hex.buildImage());
    EXPECT_EQ(hex.imageSize, 8192u);
    EXPECT_EQ(hex.image[0], 0x01);
    EXPECT_TRUE(allZeroFrom(2));
}

TEST_F(HexFixture, ReadingAgainStartsAfresh) {
    ASSERT_TRUE(read(lines({":020000000102FB", ":00000001FF"})));
    ASSERT_TRUE(hex.readRecords());
    ASSERT_TRUE(hex.readRecords());
    EXPECT_EQ(countRecords(hex), 2u);
    EXPECT_EQ(hex.records->next->recordType, 1);
}

TEST_F(HexFixture, LineEndSplitAcrossReadChunks) {
    // Lines up to one whose CR is byte 65535 and whose LF is byte 65536, where a reader
    // working in 64 KiB chunks has to carry the CR over.
    const size_t crAt = 65535;
    std::string text;
    std::vector<std::string> recs;
    uint16_t address = 0;
    auto add = [&](size_t bytes) {
        recs.push_back(hexLine(0, address, std::vector<uint8_t>(bytes, 0x5A)));
        text += recs.back() + "\r\n";
        address = static_cast<uint16_t>(address + bytes);
    };
    while (crAt + 2 - text.size() > 523) add(16);
    size_t rest = crAt + 2 - text.size();  // what the last line or two must take, CR LF included
    if (rest % 2 == 1) {
        add((rest - 13) / 2);
    } else {
        add(100);
        add((rest - 213 - 13) / 2);
    }
    ASSERT_EQ(text.size(), crAt + 2);
    ASSERT_EQ(text[crAt], '\r');
    text += ":00000001FF\r\n";
    load(text);
    EXPECT_EQ(hex.extent, address);
    EXPECT_EQ(hex.image[address - 1], 0x5A);
}

// ---- laying out the image ----

TEST_F(HexFixture, EndRecordAloneGivesTheInitialZeroImage) {
    load(":00000001FF");
    EXPECT_EQ(hex.imageSize, 8192u);
    EXPECT_EQ(hex.image.size(), 8192u);
    EXPECT_TRUE(allZeroFrom(0));
    EXPECT_EQ(hex.records, nullptr);
}

TEST_F(HexFixture, ImageGrowsInWholeStepsOnlyWhenNeeded) {
    load(withEnd({hexLine(0, 0x1FFE, {0xA1, 0xA2})}));  // ends exactly at 8192
    EXPECT_EQ(hex.imageSize, 8192u);
    EXPECT_EQ(hex.extent, 8192u);

    load(withEnd({":0220000041425B"}));
    EXPECT_EQ(hex.imageSize, 9216u);
    EXPECT_EQ(hex.image.size(), 9216u);
    EXPECT_EQ(hex.image[8192], 0x41);
    EXPECT_EQ(hex.image[8193], 0x42);
    EXPECT_TRUE(allZeroFrom(8194));

    load(withEnd({hexLine(0, 0x5000, {1, 2, 3})}));  // ends at 20483, just past 8192 + 12 steps
    EXPECT_EQ(hex.imageSize, 8192u + 13 * 1024u);
    EXPECT_EQ(hex.image.size(), hex.imageSize);
    EXPECT_EQ(hex.extent, 0x5003u);
}

TEST_F(HexFixture, EmptyDataRecordStillCoversItsStart) {
    load(withEnd({hexLine(0, 0x3000, {})}));
    EXPECT_EQ(hex.extent, 0x3000u);
    EXPECT_EQ(hex.imageSize, 12288u);
    EXPECT_TRUE(allZeroFrom(0));
}

TEST_F(HexFixture, SegmentBaseMovesLaterData) {
    load(withEnd({":020000021000EC", ":020000000102FB", segmentLine(0), hexLine(0, 4, {9})}));
    EXPECT_EQ(hex.image[0x10000], 0x01);
    EXPECT_EQ(hex.image[0x10001], 0x02);
    EXPECT_EQ(hex.image[4], 9);
    EXPECT_EQ(hex.imageSize, 8192u + 57 * 1024u);  // the smallest size from 0x10002 up
}

TEST_F(HexFixture, HighestSegmentAndOffsetLandWhereTheyAddUp) {
    // 0xFFFF0 + 0xFFFF + 255 bytes: the largest address a file can name, beyond 20 bits.
    std::vector<uint8_t> data(255);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
    load(withEnd({segmentLine(0xFFFF), hexLine(0, 0xFFFF, data)}));
    const uint32_t start = 0xFFFF0 + 0xFFFF;
    EXPECT_EQ(hex.extent, start + 255);
    EXPECT_EQ(hex.imageSize % 1024, 0u);
    EXPECT_GE(hex.imageSize, start + 255);
    EXPECT_LT(hex.imageSize, start + 255 + 1024);
    EXPECT_EQ(hex.image[start], 1);
    EXPECT_EQ(hex.image[start + 254], 255);
    EXPECT_TRUE(allZeroFrom(start + 255));
    EXPECT_EQ(hex.image[start - 1], 0);
    EXPECT_EQ(hex.image[(start) & 0xFFFF], 0);  // nothing wrapped round
}

TEST_F(HexFixture, LaterRecordsOverwriteAndTheEndRecordDoesNotStopLayout) {
    load(lines({hexLine(0, 0, {1, 2, 3, 4}), ":00000001FF", hexLine(0, 1, {0xAA}),
                hexLine(0, 3, {0xBB, 0xCC})}));
    EXPECT_EQ(hex.image[0], 1);
    EXPECT_EQ(hex.image[1], 0xAA);
    EXPECT_EQ(hex.image[2], 3);
    EXPECT_EQ(hex.image[3], 0xBB);
    EXPECT_EQ(hex.image[4], 0xCC);
    EXPECT_EQ(hex.extent, 5u);
}

TEST_F(HexFixture, UnsupportedTypesAreReportedAndChangeNothing) {
    load(withEnd({hexLine(3, 0, {0, 0, 0, 0}), ":020000000102FB", hexLine(5, 0, {0, 0, 0, 0}),
                  hexLine(252, 0, {})}));
    EXPECT_EQ(hex.warnings,
              (std::vector<std::string>{"Parsed unsupported record type: 3", "Parsed unsupported record type: 5",
                                        "Parsed unsupported record type: 252"}));
    EXPECT_EQ(hex.image[0], 0x01);
    EXPECT_EQ(hex.image[1], 0x02);
    EXPECT_EQ(hex.imageSize, 8192u);
}

TEST_F(HexFixture, SecondLayoutChangesNothing) {
    load(withEnd({hexLine(3, 0, {0, 0, 0, 0}), ":020000000102FB"}));
    const auto image = hex.image;
    EXPECT_TRUE(hex.buildImage());
    EXPECT_EQ(hex.image, image);
    EXPECT_EQ(hex.warnings.size(), 1u);
}

TEST_F(HexFixture, ImageThatCannotGrowRefusesDataBeyondIt) {
    TIHexFile fixed(16, 0);
    fixed.openFile(writeFile(dir.path, "fixed.hex", withEnd({hexLine(0, 14, {7, 8})})));
    ASSERT_TRUE(fixed.readRecords());
    EXPECT_TRUE(fixed.buildImage());  // fits exactly
    EXPECT_EQ(fixed.image[15], 8);

    fixed.openFile(writeFile(dir.path, "over.hex", withEnd({hexLine(0, 0, {0x11}), hexLine(0, 15, {1, 2})})));
    ASSERT_TRUE(fixed.readRecords());
    EXPECT_FALSE(fixed.buildImage());  // and returns rather than looping for ever
    EXPECT_EQ(fixed.records, nullptr);
    EXPECT_EQ(fixed.imageSize, 16u);
    EXPECT_EQ(fixed.image.size(), 16u);
    EXPECT_EQ(fixed.image[0], 0);  // nothing of the refused file was laid out
    EXPECT_TRUE(fixed.warnings.empty());
    EXPECT_EQ(fixed.extent, 0u);
}

// ---- files the ECU must not be given ----

TEST_F(HexFixture, AFileCutShortOrEmptyIsRefused) {
    struct Case {
        std::string bytes, failure;
    };
    for (const Case& c : std::vector<Case>{
             {lines({":020000000102FB", ":0220000041425B"}), "has no end-of-file record: the file may be cut short"},
             {"", "is empty"},
             {lines({":020000000102FB", ":0220000041425B"}, "\n"), "has no end-of-file record: the file may be cut short"},
         }) {
        EXPECT_FALSE(read(c.bytes)) << quoteBytes(c.bytes);
        EXPECT_EQ(hex.failure, c.failure);
        EXPECT_EQ(hex.records, nullptr);
    }
}

TEST_F(HexFixture, LinearAddressRecordsSetTheUpperHalfOfTheAddress) {
    // The last base record of either kind counts.
    load(withEnd({linearLine(1), hexLine(0, 0, {0xA5}), segmentLine(0x0100), hexLine(0, 2, {0xB6}), linearLine(0),
                  hexLine(0, 1, {0xC7})}));
    EXPECT_EQ(hex.image[0x10000], 0xA5);
    EXPECT_EQ(hex.image[0x1002], 0xB6);
    EXPECT_EQ(hex.image[0], 0x00);  // nothing landed over address 0
    EXPECT_EQ(hex.image[1], 0xC7);
    EXPECT_EQ(hex.imageSize, 8192u + 57 * 1024u);
    EXPECT_TRUE(hex.warnings.empty());
    EXPECT_THAT(parseFailure(hexLine(4, 0, {1})), HasSubstr("extended linear address record"));

    // A base far past any flash (a 32-bit part's 0x08000000) is refused, not allocated.
    ASSERT_TRUE(read(withEnd({linearLine(0x0800), hexLine(0, 0x10, {1})})));
    EXPECT_FALSE(hex.buildImage());
    EXPECT_THAT(hex.failure, HasSubstr("0x8000010"));
    EXPECT_EQ(hex.imageSize, 8192u + 57 * 1024u);
}

TEST_F(HexFixture, DataBytesCountWhatTheRecordsCarryNotTheExtent) {
    load(withEnd({":0070000090"}));  // a record of no data at 0x7000
    EXPECT_EQ(hex.extent, 0x7000u);
    EXPECT_EQ(hex.dataBytes, 0u);
    load(withEnd({hexLine(0, 0, {1, 2, 3}), hexLine(0, 1, {9}), hexLine(0, 0x100, {})}));
    EXPECT_EQ(hex.dataBytes, 4u);
}

// ---- the file itself ----

TEST(HexFileIo, OpenFailuresNameTheFileAndTheReason) {
    TIHexFile hex(8192, 1024);
    TTempDir dir;
    const std::string missing = dir.path + "/missing.hex";
    try {
        hex.openFile(missing);
        FAIL() << "opened a missing file";
    } catch (const EInOutError& e) {
        EXPECT_THAT(e.what(), HasSubstr(missing));
        EXPECT_THAT(e.what(), HasSubstr("No such file or directory"));
    }
    try {
        hex.readRecords();
        FAIL() << "read after a failed open";
    } catch (const EInOutError& e) {
        EXPECT_THAT(e.what(), HasSubstr(missing));
    }
    try {
        hex.openFile(dir.path);
        FAIL() << "opened a folder";
    } catch (const EInOutError& e) {
        EXPECT_THAT(e.what(), HasSubstr(dir.path));
        EXPECT_THAT(e.what(), HasSubstr("directory"));
    }
}

TEST(HexFileIo, ReadingAndClosingNeedAnOpenFile) {
    TIHexFile hex(8192, 1024);
    EXPECT_THROW(hex.readRecords(), EInOutError);
    EXPECT_THROW(hex.closeFile(), EInOutError);

    TTempDir dir;
    const std::string name = writeFile(dir.path, "fw.hex", ":00000001FF\r\n");
    hex.openFile(name);
    EXPECT_TRUE(hex.readRecords());
    hex.closeFile();
    try {
        hex.closeFile();
        FAIL() << "closed twice";
    } catch (const EInOutError& e) {
        EXPECT_THAT(e.what(), HasSubstr(name));
    }
    EXPECT_THROW(hex.readRecords(), EInOutError);
    EXPECT_TRUE(hex.buildImage());  // the image needs no file
}

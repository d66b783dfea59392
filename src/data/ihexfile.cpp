#include "data/ihexfile.h"

#include <algorithm>

#include "platform/convert.h"
#include "platform/files.h"

namespace {

constexpr size_t minLineLength = 10;      // ':', count, address, type and checksum, no data
constexpr size_t lineOverhead = 11;       // a line is 2 × byte count + this long
constexpr unsigned highestRecordType = 252;
constexpr char endOfFileChar = 0x1A;      // Ctrl-Z: nothing after it belongs to the file

enum : uint8_t {
    dataRecord = 0,
    endOfFileRecord = 1,
    segmentAddressRecord = 2,
    linearAddressRecord = 4,
};

// The base a type 2 or type 4 record sets: its first two data bytes, big-endian, times 16
// (a segment) or times 65536 (the upper half of a linear address).
uint64_t recordBase(const THexRec& rec) {
    const uint64_t value = static_cast<uint64_t>(rec.data[0]) << 8 | rec.data[1];
    return rec.recordType == linearAddressRecord ? value << 16 : value << 4;
}

bool setsBase(const THexRec& rec) {
    return rec.recordType == segmentAddressRecord || rec.recordType == linearAddressRecord;
}

std::string hexAddress(uint64_t address) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), digits[address & 0xF]);
        address >>= 4;
    } while (address != 0);
    return "0x" + out;
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

}  // namespace

uint8_t hexByte(const std::string& digits) {
    if (digits.size() != 2)
        throw EConvertError("'" + digits + "' is not a valid hexadecimal byte", digits);
    return static_cast<uint8_t>(hexToInt(digits));
}

uint16_t hexWord(const std::string& digits) {
    if (digits.size() != 4)
        throw EConvertError("'" + digits + "' is not a valid hexadecimal word", digits);
    return static_cast<uint16_t>(hexToInt(digits));
}

THexRec::THexRec(const std::string& line) {
    if (line.empty() || line[0] != ':') throw EParseError("incorrect record begin character");
    const size_t length = line.size();
    if (length < minLineLength) throw EParseError("record shorter than minimum");
    byteCount = hexByte(line.substr(1, 2));
    if (length != 2 * static_cast<size_t>(byteCount) + lineOverhead)
        throw EParseError("record too short");
    address = hexWord(line.substr(3, 4));
    recordType = hexByte(line.substr(7, 2));
    if (recordType > highestRecordType)
        throw EParseError("unrecognised record type: " + std::to_string(recordType));
    checksum = hexByte(line.substr(length - 2, 2));
    data.resize(byteCount);
    for (size_t i = 0; i < byteCount; ++i) data[i] = hexByte(line.substr(9 + 2 * i, 2));

    unsigned sum = byteCount + (address >> 8) + (address & 0xFF) + recordType + checksum;
    for (uint8_t b : data) sum += b;
    if (sum % 256 != 0) throw EParseError("checksum error");

    // The layout reads a base from the first two data bytes; a shorter record would make it
    // read past the data.
    if (recordType == segmentAddressRecord && byteCount < 2)
        throw EParseError("extended segment address record shorter than two data bytes");
    if (recordType == linearAddressRecord && byteCount < 2)
        throw EParseError("extended linear address record shorter than two data bytes");
}

THexRec::~THexRec() {
    // Unlink one record at a time, so that a chain of any length is released without a
    // destructor call per record on the stack.
    std::unique_ptr<THexRec> rest = std::move(next);
    while (rest) rest = std::move(rest->next);
}

TIHexFile::TIHexFile(uint16_t initialSize, uint16_t growStep)
    : imageSize(initialSize), initialSize(initialSize), growStep(growStep), image(initialSize, 0x00) {}

TIHexFile::~TIHexFile() = default;

void TIHexFile::releaseRecords() { records.reset(); }

void TIHexFile::openFile(const std::string& name) {
    opened = false;
    contents.clear();
    fileName = name;
    // The file is read here, once, whole; one that is not regular or too large is refused
    // before anything is parsed.
    std::string text;
    if (const std::string why = readWholeFile(name, text); !why.empty())
        throw EInOutError("Cannot open file " + quoted(name) + ": " + why);
    contents = std::move(text);
    opened = true;
}

bool TIHexFile::readRecords() {
    if (!opened) {
        if (fileName.empty()) throw EInOutError("Cannot read the HEX file: no file has been opened");
        throw EInOutError("Cannot read file " + quoted(fileName) + ": the file is not open");
    }
    releaseRecords();
    extent = 0;
    dataBytes = 0;

    failure.clear();
    warnings.clear();
    THexRec* tail = nullptr;
    int lineNumber = 0;
    bool endRecord = false;
    // Parses one line and appends it; false (with the list emptied) when it does not parse.
    auto takeLine = [&](const std::string& line) {
        ++lineNumber;
        std::unique_ptr<THexRec> rec;
        try {
            rec = std::make_unique<THexRec>(line);
        } catch (const std::runtime_error& e) {  // EParseError or EConvertError
            releaseRecords();
            failure = "line " + std::to_string(lineNumber) + ": " + e.what();
            return false;
        }
        if (rec->recordType == endOfFileRecord) endRecord = true;
        THexRec* added = rec.get();
        if (tail) tail->next = std::move(rec);
        else records = std::move(rec);
        tail = added;
        return true;
    };

    std::string line;
    bool lineStarted = false;  // characters since the last line end
    bool afterCR = false;      // a line feed now still belongs to the CR LF line end
    for (const char c : contents) {
        if (c == endOfFileChar) break;
        if (afterCR && c == '\n') {
            afterCR = false;
        } else if (c == '\r' || c == '\n') {
            // A line ends at CR, LF or CR LF (DOS, Unix and old Mac files alike).
            if (!takeLine(line)) return false;
            line.clear();
            lineStarted = false;
            afterCR = c == '\r';
        } else {
            afterCR = false;
            line += c;
            lineStarted = true;
        }
    }
    if (lineStarted && !takeLine(line)) return false;
    // A file cut short (a copy or a download that stopped) reads well up to its last whole
    // line; only the missing end record tells, and its rest would be flashed as zeros.
    if (!endRecord) {
        failure = lineNumber == 0 ? "is empty" : "has no end-of-file record: the file may be cut short";
        releaseRecords();
        return false;
    }
    return true;
}

bool TIHexFile::buildImage() {
    // First find where the data will end, so that the image grows once and a record that the
    // image cannot hold is refused before anything is written. A linear base reaches 4 GiB, so
    // addresses are computed in 64 bits.
    failure.clear();
    uint64_t base = 0;
    uint64_t needed = extent;
    for (const THexRec* rec = records.get(); rec; rec = rec->next.get()) {
        if (rec->recordType == dataRecord) {
            const uint64_t end = base + rec->address + rec->byteCount;
            if (end > needed) needed = end;
        } else if (setsBase(*rec)) {
            base = recordBase(*rec);
        }
    }
    if (needed > maxImageSize) {
        failure = "data reaches address " + hexAddress(needed - 1) + ": an image of " + std::to_string(needed) +
                  " bytes is more than this reader holds";
        releaseRecords();
        return false;
    }
    if (needed > imageSize) {
        if (growStep == 0) {
            failure = "data reaches beyond the image, which cannot grow";
            releaseRecords();
            return false;
        }
        const uint64_t steps = (needed - imageSize + growStep - 1) / growStep;
        image.resize(imageSize + steps * growStep, 0x00);
        imageSize = static_cast<uint32_t>(image.size());
    }

    base = 0;
    while (records) {
        std::unique_ptr<THexRec> rec = std::move(records);
        records = std::move(rec->next);
        switch (rec->recordType) {
            case dataRecord: {
                const uint64_t start = base + rec->address;
                const uint64_t end = start + rec->byteCount;
                if (end > imageSize) {  // cannot happen after the growth above
                    releaseRecords();
                    return false;
                }
                if (end > extent) extent = static_cast<uint32_t>(end);
                std::copy(rec->data.begin(), rec->data.end(), image.begin() + static_cast<ptrdiff_t>(start));
                dataBytes += rec->byteCount;
                break;
            }
            case endOfFileRecord:
                break;  // the records after it are laid out all the same
            case segmentAddressRecord:
            case linearAddressRecord:
                base = recordBase(*rec);  // the last of the two kinds counts
                break;
            default:
                warnings.push_back("Parsed unsupported record type: " + std::to_string(rec->recordType));
                break;
        }
    }
    return true;
}

void TIHexFile::closeFile() {
    if (!opened) {
        if (fileName.empty()) throw EInOutError("Cannot close the HEX file: no file has been opened");
        throw EInOutError("Cannot close file " + quoted(fileName) + ": the file is not open");
    }
    opened = false;
    contents.clear();
    contents.shrink_to_fit();
}

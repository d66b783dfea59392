#pragma once
// An Intel HEX firmware file and the flat byte image it describes, from address 0.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>


// A malformed line of a HEX file.
class EParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file that cannot be opened or read. The message names the file and the reason.
class EInOutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Two hexadecimal digits of either case (exactly two characters) as a byte. Anything else
// throws EConvertError.
uint8_t hexByte(const std::string& digits);
// Four hexadecimal digits of either case (exactly four characters). Throws EConvertError.
uint16_t hexWord(const std::string& digits);

// One parsed record. A record owns the records after it.
struct THexRec {
    // Parses one line (without its line end). Throws EParseError or EConvertError. An extended
    // segment or linear address record (type 2 or 4) with fewer than two data bytes is refused.
    explicit THexRec(const std::string& line);
    ~THexRec();  // releases the chain after it without recursing

    std::unique_ptr<THexRec> next;
    uint16_t address = 0;
    uint8_t byteCount = 0;
    uint8_t recordType = 0;
    uint8_t checksum = 0;
    std::vector<uint8_t> data;
};

class TIHexFile {
public:
    TIHexFile(uint16_t initialSize, uint16_t growStep);
    ~TIHexFile();
    TIHexFile(const TIHexFile&) = delete;
    TIHexFile& operator=(const TIHexFile&) = delete;

    // Reads the whole file, once (a file opened earlier is closed first). Throws EInOutError,
    // naming the file and the reason, when it cannot be read, is not a regular file (a folder,
    // a FIFO, a device) or holds more than maxReadFileBytes (16 MiB).
    void openFile(const std::string& fileName);
    // Parses every line of the file read by openFile into the record list; false, with the
    // list emptied, at the first line that fails, and for a file without an end-of-file record
    // (an empty one included: a file cut short). A line ends at CR, LF or CR LF; Ctrl-Z ends
    // the file. Throws EInOutError without a successful openFile.
    bool readRecords();
    // Lays the records into the image and empties the list. Type 2 records set the base to
    // their value × 16, type 4 records to their value × 65536 (the last of either counts);
    // a record of any other type changes nothing and adds its line to `warnings`. True,
    // except when data lies beyond maxImageSize, or beyond an image that cannot grow
    // (`growStep` 0): then nothing is laid out, the list is emptied, `failure` says why and the
    // result is false.
    bool buildImage();
    // Lets the file's text go. Throws EInOutError when no file is open.
    void closeFile();

    // The image is held in memory: data beyond this many bytes is refused, whatever a linear
    // address record says.
    static constexpr uint64_t maxImageSize = 16u << 20;

    std::unique_ptr<THexRec> records;
    // Why the last readRecords or buildImage returned false ("line 3: checksum error",
    // "has no end-of-file record: ..."); empty otherwise.
    std::string failure;
    // What the operator is told of the records buildImage passed over ("Parsed unsupported
    // record type: 3"), in file order; readRecords starts it afresh.
    std::vector<std::string> warnings;
    uint32_t extent = 0;      // one past the highest address a data record covered
    uint32_t dataBytes = 0;   // data bytes laid out (records of no data add none)
    uint32_t imageSize = 0;   // always image.size()
    uint16_t initialSize = 0;
    uint16_t growStep = 0;
    std::vector<uint8_t> image;

private:
    void releaseRecords();

    bool opened = false;
    std::string contents;  // the file's bytes, from openFile to closeFile
    std::string fileName;
};

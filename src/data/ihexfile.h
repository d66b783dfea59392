#pragma once
// An Intel HEX firmware file and the flat byte image it describes, from address 0.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/services.h"

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

// One parsed record. A record owns the records after it.
struct THexRec {
    // Parses one line (without its line end). Throws EParseError or EConvertError.
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

    // Opens the file for reading. Throws EInOutError when it cannot be opened.
    void openFile(const std::string& fileName);
    // Parses every line into the record list; false, with the list emptied, at the first line
    // that fails. Throws EInOutError without a successful openFile.
    bool readRecords();
    // Lays the records into the image and empties the list. Unsupported record types are
    // reported to the operator through `messages`. Always true.
    bool buildImage(TMainServices& messages);
    // Closes the file. Throws EInOutError when no file is open.
    void closeFile();

    std::unique_ptr<THexRec> records;
    uint32_t extent = 0;      // one past the highest address a data record covered
    uint32_t imageSize = 0;   // always image.size()
    uint16_t initialSize = 0;
    uint16_t growStep = 0;
    std::vector<uint8_t> image;

private:
    std::FILE* file = nullptr;
    std::string fileName;
};

// The Intel HEX reader as the firmware path uses it: the file's records, then the image.

#include "data/ihexfile.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TMemoryFile file;
    TIHexFile hex(8192, 1024);
    hex.openFile(file.hold(data, size));
    const bool read = hex.readRecords();
    check(read == hex.failure.empty(), "a failure is explained exactly when reading fails");
    const uint32_t before = hex.imageSize;
    // The image grows to any address a record reaches, up to the reader's limit; beyond it the
    // layout is refused with its reason and the image stays as it was.
    const bool laidOut = hex.buildImage();
    check(laidOut || (!hex.failure.empty() && hex.imageSize == before), "a refused layout is explained");
    check(hex.imageSize <= TIHexFile::maxImageSize, "the image stays within the reader's limit");
    check(!hex.records, "laying the image out takes every record");
    check(hex.imageSize == hex.image.size() && hex.imageSize >= hex.extent, "the image covers the data");
    check((hex.imageSize - 8192) % 1024 == 0, "the image grows by whole steps");
    hex.closeFile();
    return 0;
}

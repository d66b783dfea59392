#include "ecu/firmwareimage.h"

#include "ecu/protocol.h"

namespace {

struct TRefusal {
    TImageFault fault = TImageFault::None;
    std::string why;
};

TRefusal refusalOf(const TIHexFile& image) {
    if (image.imageSize > static_cast<uint32_t>(ecu_protocol::maxImageBytes))
        return {TImageFault::TooLarge, "firmware image too large: " + std::to_string(image.imageSize) +
                                           " bytes (the ECU takes at most " +
                                           std::to_string(ecu_protocol::maxImageBytes) + ")"};
    // A file without data bytes reads as an all-zero image: flashing it would leave an ECU
    // that cannot start.
    if (image.dataBytes == 0) return {TImageFault::NoData, "firmware image holds no data"};
    return {};
}

}  // namespace

std::string imageRefusal(const TIHexFile& image) { return refusalOf(image).why; }

TFirmwareImage loadFirmwareImage(const std::string& fileName) {
    TFirmwareImage out;
    auto hex = std::make_unique<TIHexFile>(firmwareInitialSize, firmwareGrowStep);
    try {
        hex->openFile(fileName);
    } catch (const EInOutError& e) {
        out.fault = TImageFault::CannotOpen;
        out.message = e.what();
        return out;
    }
    const bool laidOut = hex->readRecords() && hex->buildImage();
    hex->closeFile();  // the laid-out image is all the flash needs
    out.warnings = hex->warnings;
    TRefusal refusal = laidOut ? refusalOf(*hex) : TRefusal{TImageFault::Malformed, hex->failure};
    if (refusal.fault == TImageFault::None) {
        out.hex = std::move(hex);
        return out;
    }
    out.fault = refusal.fault;
    out.message = unreadableImageText;
    out.detail = fileName + (refusal.why.empty() ? "" : ": " + refusal.why);
    return out;
}

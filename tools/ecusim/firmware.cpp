#include "firmware.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/convert.h"

namespace ecusim {

uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

namespace {

void putLE32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t getLE32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

const size_t markerSize = std::strlen(descriptorMarker);

}  // namespace

std::vector<uint8_t> encodeDescriptor(const TFirmwareIdentity& identity) {
    const std::string body = formatState(identity);
    std::vector<uint8_t> out(descriptorMarker, descriptorMarker + markerSize);
    putLE32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    putLE32(out, crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
    return out;
}

TImageIdentity findIdentity(const std::vector<uint8_t>& flash) {
    TImageIdentity result;
    const uint8_t* marker = reinterpret_cast<const uint8_t*>(descriptorMarker);
    const auto found =
        std::search(flash.begin(), flash.end(), std::boyer_moore_horspool_searcher(marker, marker + markerSize));
    if (found == flash.end()) return result;  // no marker: no descriptor
    const size_t at = static_cast<size_t>(found - flash.begin());
    result.kind = TImageIdentity::Kind::Broken;
    size_t p = at + markerSize;
    if (p + 4 > flash.size()) {
        result.problem = "descriptor cut short";
        return result;
    }
    const uint32_t length = getLE32(flash.data() + p);
    p += 4;
    if (length > flash.size() || p + length + 4 > flash.size()) {
        result.problem = "descriptor length " + std::to_string(length) + " runs past the flash";
        return result;
    }
    const uint8_t* body = flash.data() + p;
    if (crc32(body, length) != getLE32(body + length)) {
        result.problem = "descriptor CRC mismatch";
        return result;
    }
    try {
        result.identity = parseState(std::string(body, body + length), "firmware descriptor");
    } catch (const ESimFileError& e) {
        result.problem = e.what();
        return result;
    }
    // Where the descriptor lies and whether the image around it arrived whole.
    if (at != descriptorOffset) {
        result.problem = "descriptor at byte " + std::to_string(at) + ", not at " + std::to_string(descriptorOffset) +
                         ": the image was written to the wrong place";
        return result;
    }
    const size_t trailer = p + length + 4;
    const size_t imageMarkerSize = std::strlen(imageMarker);
    if (trailer + imageMarkerSize + 8 <= flash.size() &&
        std::equal(flash.begin() + static_cast<long>(trailer), flash.begin() + static_cast<long>(trailer + imageMarkerSize),
                   imageMarker)) {
        const size_t crcAt = trailer + imageMarkerSize + 4;
        const uint32_t size = getLE32(flash.data() + trailer + imageMarkerSize);
        if (size > flash.size() || size < crcAt + 4) {
            result.problem = "image size " + std::to_string(size) + " does not fit the flash";
            return result;
        }
        std::vector<uint8_t> image(flash.begin(), flash.begin() + size);
        std::fill(image.begin() + static_cast<long>(crcAt), image.begin() + static_cast<long>(crcAt + 4), 0);
        if (crc32(image.data(), image.size()) != getLE32(flash.data() + crcAt)) {
            result.problem = "image CRC mismatch over its " + std::to_string(size) +
                             " bytes: a block is missing or was written at a wrong address";
            return result;
        }
    }
    result.kind = TImageIdentity::Kind::Valid;
    return result;
}

std::vector<uint8_t> buildImage(const TFirmwareIdentity& identity, size_t size, bool withDescriptor) {
    const std::vector<uint8_t> descriptor = withDescriptor ? encodeDescriptor(identity) : std::vector<uint8_t>{};
    const size_t trailerSize = std::strlen(imageMarker) + 8;
    size_t needed = std::max(size, withDescriptor ? descriptorOffset + descriptor.size() + trailerSize : size_t{1});
    needed = (needed + 255) / 256 * 256;
    if (needed > flashSize)
        throw ESimFileError("the image needs " + std::to_string(needed) + " bytes; the flash holds " +
                            std::to_string(flashSize));
    // Filler that looks like code: a xorshift stream seeded from the version, so that two
    // firmware versions differ all over and every block exercises the checksums.
    uint32_t seed = 2166136261u;
    for (unsigned char c : identity.version) seed = (seed ^ c) * 16777619u;
    if (seed == 0) seed = 1;
    std::vector<uint8_t> image(needed);
    for (auto& b : image) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        b = static_cast<uint8_t>(seed);
    }
    std::copy(descriptor.begin(), descriptor.end(), image.begin() + descriptorOffset);
    if (withDescriptor) {
        // The image's size and CRC, so that the bootloader can tell an image that arrived whole.
        const size_t at = descriptorOffset + descriptor.size();
        std::vector<uint8_t> trailer(imageMarker, imageMarker + std::strlen(imageMarker));
        putLE32(trailer, static_cast<uint32_t>(image.size()));
        putLE32(trailer, 0);
        std::copy(trailer.begin(), trailer.end(), image.begin() + static_cast<long>(at));
        const size_t crcAt = at + trailer.size() - 4;
        const uint32_t crc = crc32(image.data(), image.size());
        for (int i = 0; i < 4; ++i) image[crcAt + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    return image;
}

namespace {

std::string hexRecord(uint16_t address, uint8_t type, const uint8_t* data, size_t count) {
    std::string line = ":" + hexHH(static_cast<unsigned>(count)) + hexHH(address >> 8) + hexHH(address & 0xFF) +
                       hexHH(type);
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
    for (size_t i = 0; i < count; ++i) {
        line += hexHH(data[i]);
        sum += data[i];
    }
    return line + hexHH((0x100 - (sum & 0xFF)) & 0xFF) + "\r\n";
}

}  // namespace

std::string toIntelHex(const std::vector<uint8_t>& image) {
    std::string out;
    uint32_t segmentBase = 0;
    for (size_t at = 0; at < image.size(); at += 16) {
        if (at - segmentBase > 0xFFFF) {
            segmentBase = static_cast<uint32_t>(at) & ~0xFFFFu;
            const uint16_t segment = static_cast<uint16_t>(segmentBase >> 4);
            const uint8_t data[2] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment & 0xFF)};
            out += hexRecord(0, 0x02, data, 2);
        }
        const size_t count = std::min<size_t>(16, image.size() - at);
        out += hexRecord(static_cast<uint16_t>(at - segmentBase), 0x00, image.data() + at, count);
    }
    return out + hexRecord(0, 0x01, nullptr, 0);
}

}  // namespace ecusim

#include "platform/versionreader.h"

#include <elf.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/versionblock.h"  // the section's name

namespace {

// A version block is a few hundred bytes; a section far larger than that is not one of ours.
constexpr uint64_t maxVersionSectionSize = 64 * 1024;
// The section-name table of a large program is some kilobytes.
constexpr uint64_t maxNameTableSize = 16 * 1024 * 1024;

constexpr const char* ownProgramFile = "/proc/self/exe";

bool fits(uint64_t offset, uint64_t size, uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

bool readAt(std::ifstream& in, uint64_t offset, void* out, uint64_t size) {
    in.clear();
    in.seekg(std::streamoff(offset));
    in.read(static_cast<char*>(out), std::streamsize(size));
    return uint64_t(in.gcount()) == size;
}

template <class Ehdr, class Shdr>
std::vector<uint8_t> findVersionSection(std::ifstream& in, uint64_t fileSize) {
    Ehdr header;
    if (!readAt(in, 0, &header, sizeof header)) return {};
    const uint64_t tableAt = header.e_shoff;
    const uint64_t entrySize = header.e_shentsize;
    if (tableAt == 0 || entrySize < sizeof(Shdr) || tableAt > fileSize) return {};
    auto sectionHeader = [&](const std::vector<char>& table, uint64_t index) {
        Shdr sh;
        std::memcpy(&sh, table.data() + index * entrySize, sizeof sh);
        return sh;
    };

    // Past 0xff00 sections the count and the name-table index move to the first header.
    uint64_t count = header.e_shnum;
    uint64_t namesIndex = header.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX) {
        std::vector<char> first(sizeof(Shdr));
        if (!fits(tableAt, sizeof(Shdr), fileSize) ||
            !readAt(in, tableAt, first.data(), sizeof(Shdr)))
            return {};
        if (count == 0) count = sectionHeader(first, 0).sh_size;
        if (namesIndex == SHN_XINDEX) namesIndex = sectionHeader(first, 0).sh_link;
    }
    if (count > (fileSize - tableAt) / entrySize || namesIndex >= count) return {};
    std::vector<char> table(count * entrySize);
    if (!readAt(in, tableAt, table.data(), table.size())) return {};

    const Shdr names = sectionHeader(table, namesIndex);
    if (names.sh_type == SHT_NOBITS || names.sh_size > maxNameTableSize ||
        !fits(names.sh_offset, names.sh_size, fileSize))
        return {};
    std::string nameTable(names.sh_size, '\0');  // keeps a zero after its last byte
    if (!readAt(in, names.sh_offset, nameTable.data(), nameTable.size())) return {};

    for (uint64_t i = 0; i < count; ++i) {
        const Shdr section = sectionHeader(table, i);
        if (section.sh_name >= nameTable.size() ||
            versionSectionName != nameTable.c_str() + section.sh_name)
            continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > maxVersionSectionSize ||
            !fits(section.sh_offset, section.sh_size, fileSize))
            return {};
        std::vector<uint8_t> bytes(section.sh_size);
        if (!readAt(in, section.sh_offset, bytes.data(), bytes.size())) return {};
        return bytes;
    }
    return {};
}

}  // namespace

std::vector<uint8_t> readVersionSection(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    unsigned char ident[EI_NIDENT];
    if (size < EI_NIDENT || !readAt(in, 0, ident, EI_NIDENT)) return {};
    // Only this machine's byte order: the headers are read as they lie.
    constexpr unsigned char nativeOrder =
        std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != nativeOrder) return {};
    if (ident[EI_CLASS] == ELFCLASS64)
        return findVersionSection<Elf64_Ehdr, Elf64_Shdr>(in, uint64_t(size));
    if (ident[EI_CLASS] == ELFCLASS32)
        return findVersionSection<Elf32_Ehdr, Elf32_Shdr>(in, uint64_t(size));
    return {};
}

std::string runningProgramPath() {
    std::error_code ec;
    return std::filesystem::read_symlink(ownProgramFile, ec).string();
}

std::vector<uint8_t> readRunningVersionSection() {
    // The running program's file itself, even when its path has since been replaced or removed.
    return readVersionSection(ownProgramFile);
}

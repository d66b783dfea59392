#include "platform/versionreader.h"

#include "platform/fileversion.h"
#include "platform/versionblock.h"

TVersionReader::TVersionReader() : filePath(runningProgramPath()), block(readRunningVersionSection()), own(true) {}

TVersionReader::TVersionReader(std::string path)
    : filePath(std::move(path)), block(readVersionSection(filePath)) {}

std::string TVersionReader::getVersionInfo(const std::string& name) const {
    if (available()) return versionString(block, name);
    // A Windows program carries its version as a resource, not as a section.
    if (own && name == "FileVersion") return programFileVersion();
    return {};
}

const TVersionReader& programVersion() {
    static const TVersionReader reader;
    return reader;
}

std::string getVersionInfo(const std::string& name) {
    return programVersion().getVersionInfo(name);
}

#pragma once
// Reads the version information a program file carries (see versionblock.h) and the strings in
// it. The block sits in a section of the program file; a file without that section, or one that
// is not a program file of this machine's kind, has none, and every query on it is empty.

#include <cstdint>
#include <string>
#include <vector>

// The bytes of the version-information section of the program file at `path`; empty when the
// file cannot be read or has no such section.
std::vector<uint8_t> readVersionSection(const std::string& path);
// The running program's file: its full path, and its version-information section.
std::string runningProgramPath();
std::vector<uint8_t> readRunningVersionSection();

class TVersionReader {
public:
    // The running program's own file.
    TVersionReader();
    // The program file at `path`.
    explicit TVersionReader(std::string path);

    // The full path of the file read, however long.
    const std::string& path() const { return filePath; }
    bool available() const { return !block.empty(); }
    size_t blockSize() const { return block.size(); }
    // The string `name` ("FileVersion") of the file's version information; empty when the file
    // has none or the name is not in it.
    std::string getVersionInfo(const std::string& name) const;

private:
    std::string filePath;
    std::vector<uint8_t> block;
    bool own = false;  // the running program's file
};

// The running program's version information, read once on first use and kept until exit.
const TVersionReader& programVersion();

// A string of the running program's version information ("FileVersion").
std::string getVersionInfo(const std::string& name);

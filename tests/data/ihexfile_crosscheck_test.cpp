// Our HEX reader against an independent one: srec_cat (Debian's srecord package) lays out the
// same generated files, and the two images must agree byte for byte.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "data/ihexfile.h"
#include "support/hextext.h"
#include "support/tempdir.h"

extern char** environ;

namespace {

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Runs a program with its output in `logFile`; the exit status, or -1 when it did not run.
int run(const std::vector<std::string>& args, const std::string& logFile) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One generated file: our copy with the line ends under test, and the same records with CR LF
// for srec_cat, which does not take a lone CR as a line end.
struct TGenerated {
    std::string ours;
    std::string theirs;
    void add(const std::string& line, const std::string& end) {
        ours += line + end;
        theirs += line + "\r\n";
    }
};

enum class Ends { cr, crlf, mixed };  // mixed: CR, CR LF and LF

// Data records of the given sizes in the given segments: runs of consecutive records, as a
// linker writes them, and records laid again over earlier addresses of the same segment.
// `linear` marks the segments that are set by a linear address record (type 4, the value is
// the upper half of the address) instead of a segment record (type 2).
TGenerated generate(uint32_t seed, const std::vector<uint16_t>& segments, const std::vector<int>& sizes,
                    Ends ends, const std::vector<bool>& linear = {}) {
    std::mt19937 rng(seed);
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    TGenerated out;
    auto end = [&] {
        switch (ends) {
            case Ends::cr: return std::string("\r");
            case Ends::crlf: return std::string("\r\n");
            default: {  // CR, CR LF or LF, one draw as before
                const int pick = static_cast<int>(rng() % 100);
                return std::string(pick < 34 ? "\r" : pick < 67 ? "\r\n" : "\n");
            }
        }
    };
    size_t next = 0;
    for (size_t s = 0; s < segments.size(); ++s) {
        const bool isLinear = s < linear.size() && linear[s];
        if (s > 0 || segments[s] != 0) out.add(isLinear ? linearLine(segments[s]) : segmentLine(segments[s]), end());
        std::vector<uint32_t> starts;
        uint32_t address = rng() % 0x400;
        const size_t count = sizes.size() / segments.size() + (s + 1 == segments.size() ? sizes.size() % segments.size() : 0);
        for (size_t k = 0; k < count; ++k) {
            const int size = sizes[next++];
            if (!starts.empty() && chance(20)) {
                address = starts[rng() % starts.size()] + rng() % 8;  // over earlier bytes
            } else if (chance(10)) {
                address += rng() % 0x200;  // a gap
            }
            if (address + size > 0x10000) address = rng() % 0x1000;  // no record wraps its offset
            std::vector<uint8_t> data(static_cast<size_t>(size));
            for (auto& b : data) b = static_cast<uint8_t>(rng());
            out.add(hexLine(0, static_cast<uint16_t>(address), data, chance(40)), end());
            starts.push_back(address);
            address += static_cast<uint32_t>(size);
        }
    }
    out.add(hexLine(1, 0, {}, chance(50)), end());
    return out;
}

class HexCrossCheck : public ::testing::Test {
protected:
    void SetUp() override {
        srecCat = findOnPath("srec_cat");
        if (srecCat.empty())
            GTEST_FAIL() << "srec_cat was not found on PATH. The HEX cross-check needs it: install "
                            "Debian's 'srecord' package (apt-get install srecord).";
    }

    // Lays the file out with our reader and with srec_cat and compares the images.
    void compare(const TGenerated& file, const std::string& name, uint32_t minExtent) {
        TIHexFile hex(8192, 1024);
        hex.openFile(writeFile(dir.path, name + ".hex", file.ours));
        ASSERT_TRUE(hex.readRecords()) << name;
        ASSERT_TRUE(hex.buildImage()) << name;
        hex.closeFile();
        EXPECT_TRUE(hex.warnings.empty());
        ASSERT_GE(hex.extent, minExtent) << name << ": the generated data does not reach as far as meant";

        const std::string in = writeFile(dir.path, name + "-srec.hex", file.theirs);
        const std::string bin = dir.path + "/" + name + ".bin";
        const std::string log = dir.path + "/" + name + ".log";
        const int rc = run({srecCat, "-disable-sequence-warnings", "-redundant-bytes=ignore",
                            "-contradictory-bytes=ignore", in, "-Intel", "-fill", "0x00", "0",
                            std::to_string(hex.imageSize), "-o", bin, "-Binary"},
                           log);
        ASSERT_EQ(rc, 0) << "srec_cat failed on " << name << ": " << slurp(log);

        const std::string theirs = slurp(bin);
        ASSERT_EQ(theirs.size(), hex.imageSize) << name;
        for (size_t i = 0; i < theirs.size(); ++i)
            ASSERT_EQ(hex.image[i], static_cast<uint8_t>(theirs[i])) << name << ": first difference at 0x" << std::hex << i;
    }

    std::string srecCat;
    TTempDir dir;
};

std::vector<int> allSizes() {
    std::vector<int> sizes;
    for (int n = 0; n <= 255; ++n) sizes.push_back(n);
    return sizes;
}

std::vector<int> randomSizes(uint32_t seed, size_t count) {
    std::mt19937 rng(seed);
    std::vector<int> sizes;
    for (size_t i = 0; i < count; ++i) sizes.push_back(i % 4 == 0 ? static_cast<int>(rng() % 256) : 16);
    return sizes;
}

}  // namespace

TEST_F(HexCrossCheck, EveryRecordSizeWithCrLineEnds) {
    compare(generate(1, {0}, allSizes(), Ends::cr), "sizes-cr", 0x800);
}

TEST_F(HexCrossCheck, EveryRecordSizeWithCrLfLineEnds) {
    compare(generate(2, {0, 0x0800}, allSizes(), Ends::crlf), "sizes-crlf", 0x8000);
}

TEST_F(HexCrossCheck, SegmentsAbove64KiBWithOverlaps) {
    compare(generate(3, {0, 0x1000, 0x2345, 0x1800}, randomSizes(3, 2000), Ends::mixed), "segments", 0x23450);
}

TEST_F(HexCrossCheck, SegmentNearTheTopOfTheAddressSpace) {
    compare(generate(4, {0xF000, 0, 0xFFF0}, randomSizes(4, 600), Ends::mixed), "top", 0xFFF00);
}

TEST_F(HexCrossCheck, ManyGeneratedFiles) {
    for (uint32_t seed = 10; seed < 16; ++seed) {
        std::mt19937 rng(seed);
        std::vector<uint16_t> segments{0};
        for (int i = 0; i < 3; ++i) segments.push_back(static_cast<uint16_t>(0x1000 + rng() % 0x3000));
        compare(generate(seed, segments, randomSizes(seed, 1500), Ends::mixed), "seed" + std::to_string(seed), 0x10000);
    }
}

TEST_F(HexCrossCheck, LinearAndSegmentBasesMixed) {
    // The last base record of either kind counts: 0x10000 linear, a segment below it, 0x10000
    // again, then the bottom of the flash by a linear record of 0.
    compare(generate(5, {1, 0x0800, 1, 0}, randomSizes(5, 800), Ends::crlf, {true, false, true, true}), "linear",
            0x10000);
}

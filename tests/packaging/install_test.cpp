// The install rules and the Debian package, run for real: `cmake --install` into a temporary
// prefix, `cpack -G DEB` into a temporary folder, and the files they carry (manual pages, bash
// completion, desktop entry, metainfo) checked against the programs they describe.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "support/simprocess.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

constexpr int slowMs = 150000;  // packaging compresses and runs dpkg-shlibdeps
const std::string appId = VELTRACE_APP_ID;
const std::string buildDir = VELTRACE_BUILD_DIR;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A program found on the PATH.
TProgramResult runTool(std::vector<std::string> argv, int timeoutMs = 10000) {
    argv.insert(argv.begin(), "/usr/bin/env");
    return runProgram(argv, timeoutMs);
}

std::string describe(const TProgramResult& r) { return "exit " + std::to_string(r.exitCode) + "\n" + r.out + r.err; }

// What the install puts below its prefix, relative to it.
std::set<std::string> expectedFiles() {
    std::set<std::string> files{"bin/veltrace-cli", "bin/veltrace-ecusim", "share/man/man1/veltrace-cli.1.gz",
                                "share/man/man1/veltrace-ecusim.1.gz",
                                "share/bash-completion/completions/veltrace-cli"};
    if (VELTRACE_WITH_APP)
        files.insert({"bin/veltrace", "share/man/man1/veltrace.1.gz", "share/applications/" + appId + ".desktop",
                      "share/metainfo/" + appId + ".metainfo.xml", "share/icons/hicolor/48x48/apps/veltrace.png",
                      "share/icons/hicolor/128x128/apps/veltrace.png",
                      "share/icons/hicolor/scalable/apps/veltrace.svg"});
    return files;
}

// The options a help text names ("--baud", "-o"), and the command words of a COMMANDS list.
std::set<std::string> optionsIn(const std::string& help) {
    std::set<std::string> options;
    static const std::regex option(R"((?:^|[\s\[(|,])(--?[a-zA-Z][a-zA-Z0-9-]*))");
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) options.insert((*it)[1]);
    return options;
}
std::vector<std::string> commandsIn(const std::string& help) {
    std::vector<std::string> commands;
    std::istringstream in(help.substr(help.find("\nCOMMANDS\n") + 10));
    std::string line;
    while (std::getline(in, line) && line.rfind("  ", 0) == 0) commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    return commands;
}

// A manual page's source as the reader sees its words: "\-" is "-", font changes go.
std::string manText(const std::string& page) {
    std::string text = readFile(buildDir + "/packaging/man/" + page + ".1");
    text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
    return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}
// `word` stands in `text` as a word of its own (not as a piece of a longer option).
bool hasWord(const std::string& text, const std::string& word) {
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const auto partOfWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
        const size_t after = at + word.size();
        if ((at == 0 || !partOfWord(text[at - 1])) && (after == text.size() || !partOfWord(text[after]))) return true;
    }
    return false;
}

// Every install, cpack's too, rewrites the build folder's list of installed files, which is what
// a user who installed from that build removes by: the tests leave it as they found it.
class TManifestKept {
public:
    TManifestKept() : had(fs::exists(path)), old(had ? readFile(path) : std::string()) {}
    ~TManifestKept() {
        if (had) std::ofstream(path, std::ios::binary) << old;
        else fs::remove(path);
    }

private:
    const std::string path = buildDir + "/install_manifest.txt";
    const bool had;
    const std::string old;
};

TEST(Install, IntoAPrefixGivesTheProgramsAndTheirFilesOnly) {
    TManifestKept manifest;
    TTempDir prefix;
    const TProgramResult install = runProgram({VELTRACE_CMAKE, "--install", buildDir, "--prefix", prefix.path}, slowMs);
    ASSERT_EQ(install.exitCode, 0) << describe(install);

    std::set<std::string> installed;
    for (const auto& e : fs::recursive_directory_iterator(prefix.path))
        if (!e.is_directory()) installed.insert(fs::relative(e.path(), prefix.path).string());
    EXPECT_EQ(installed, expectedFiles());

    // The installed programs run from there, the app too without a display.
    const std::string version = std::string(" ") + VELTRACE_PROJECT_VERSION + "\n";
    std::vector<std::string> programs{"veltrace-cli", "veltrace-ecusim"};
    if (VELTRACE_WITH_APP) programs.push_back("veltrace");
    for (const std::string& program : programs) {
        const TProgramResult r = runProgram(
            {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
             prefix.path + "/bin/" + program, "--version"});
        EXPECT_EQ(r.exitCode, 0) << program << ": " << describe(r);
        EXPECT_EQ(r.out, program + version) << program;
    }
    const TProgramResult page = runTool({"gzip", "-dc", prefix.path + "/share/man/man1/veltrace-cli.1.gz"});
    EXPECT_NE(page.out.find(".TH VELTRACE-CLI 1"), std::string::npos) << describe(page);
}

TEST(Package, TheDebHasTheInstalledFilesAndItsControlFields) {
    TManifestKept manifest;
    TTempDir out;
    const TProgramResult pack =
        runProgram({VELTRACE_CPACK, "-G", "DEB", "--config", buildDir + "/CPackConfig.cmake", "-B", out.path}, slowMs);
    ASSERT_EQ(pack.exitCode, 0) << describe(pack);
    const std::string arch = runTool({"dpkg", "--print-architecture"}).out;
    const std::string deb =
        out.path + "/veltrace_" + VELTRACE_PROJECT_VERSION + "_" + arch.substr(0, arch.find('\n')) + ".deb";
    ASSERT_TRUE(fs::exists(deb)) << pack.out;

    const TProgramResult contents = runTool({"dpkg-deb", "-c", deb});
    ASSERT_EQ(contents.exitCode, 0) << describe(contents);
    std::set<std::string> files;
    std::istringstream lines(contents.out);
    for (std::string line; std::getline(lines, line);) {
        const std::string path = line.substr(line.rfind(' ') + 1);
        if (path.back() == '/') continue;
        EXPECT_EQ(line.find("root/root"), 11u) << line;
        if (path.rfind("./usr/bin/", 0) == 0) {
            EXPECT_EQ(line.substr(0, 10), "-rwxr-xr-x") << line;
        }
        files.insert(path);
    }
    std::set<std::string> expected;
    for (const auto& f : expectedFiles()) expected.insert("./usr/" + f);
    EXPECT_EQ(files, expected);

    const auto field = [&](const std::string& name) {
        const TProgramResult r = runTool({"dpkg-deb", "-f", deb, name});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        return r.out;
    };
    EXPECT_EQ(field("Package"), "veltrace\n");
    EXPECT_EQ(field("Version"), std::string(VELTRACE_PROJECT_VERSION) + "\n");
    EXPECT_EQ(field("Section"), "electronics\n");
    EXPECT_EQ(field("Architecture"), arch);
    EXPECT_NE(field("Maintainer").find('@'), std::string::npos);
    const std::string description = field("Description");
    EXPECT_EQ(description.rfind("tuning tool for ECUs running the VIVU v3 firmware\n Veltrace tunes", 0), 0u)
        << description;
    // The dependencies come from the programs' own libraries.
    const std::string depends = field("Depends");
    std::vector<std::string> needed{"libc6", "libstdc++6", "libqt6core6"};
    if (VELTRACE_WITH_APP) needed.insert(needed.end(), {"libqt6widgets6", "qt6-qpa-plugins"});
    for (const std::string& lib : needed) EXPECT_TRUE(hasWord(depends, lib)) << lib << " in " << depends;
}

TEST(Documents, ManualPagesAndCompletionKnowEveryCommandAndOption) {
    const TProgramResult help = runProgram({VELTRACE_CLI_PATH, "--help"});
    ASSERT_EQ(help.exitCode, 0) << describe(help);
    const std::vector<std::string> commands = commandsIn(help.out);
    ASSERT_GE(commands.size(), 8u) << help.out;
    std::set<std::string> options = optionsIn(help.out);
    for (const std::string& command : commands) {
        const std::set<std::string> more = optionsIn(runProgram({VELTRACE_CLI_PATH, command, "--help"}).out);
        options.insert(more.begin(), more.end());
    }
    ASSERT_TRUE(options.count("--baud") && options.count("--store") && options.count("-o"));

    const std::string cliPage = manText("veltrace-cli");
    const std::string completion = readFile(std::string(VELTRACE_SOURCE_DIR) + "/data/completion/veltrace-cli");
    for (const std::string& word : commands) {
        EXPECT_TRUE(hasWord(cliPage, word)) << word << " in the manual page";
        EXPECT_TRUE(hasWord(completion, word)) << word << " in the completion";
    }
    for (const std::string& word : options) {
        EXPECT_TRUE(hasWord(cliPage, word)) << word << " in the manual page";
        if (word != "-h" && word != "-q") {  // the completion offers the long forms
            EXPECT_TRUE(hasWord(completion, word)) << word << " in the completion";
        }
    }

    struct Program {
        std::string page, path;
    };
    std::vector<Program> others{{"veltrace-ecusim", ecusimProgram()}};
    if (VELTRACE_WITH_APP) others.push_back({"veltrace", VELTRACE_APP_PATH});
    for (const Program& p : others) {
        const TProgramResult r = runProgram({"/usr/bin/env", "-u", "DISPLAY", p.path, "--help"});
        ASSERT_EQ(r.exitCode, 0) << describe(r);
        const std::string page = manText(p.page);
        for (const std::string& word : optionsIn(r.out)) EXPECT_TRUE(hasWord(page, word)) << word << " in " << p.page;
        EXPECT_NE(page.find(std::string("Veltrace ") + VELTRACE_PROJECT_VERSION), std::string::npos) << p.page;
    }
}

// The completion run in bash with bash-completion, as an interactive shell would.
TEST(Documents, CompletionOffersWhatEachPlaceTakes) {
    const std::string library = "/usr/share/bash-completion/bash_completion";
    ASSERT_TRUE(fs::exists(library)) << "bash-completion is not installed";
    const std::string script = R"(
source "$1"; source "$2"; shift 2
COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
read -ra COMP_WORDS <<< "$COMP_LINE"
[[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_veltrace_cli veltrace-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ')";
    struct Case {
        std::string line, offered;
    };
    for (const Case& c : std::vector<Case>{
             {"veltrace-cli ", "diff flash hex import info ports restore set settings "},
             {"veltrace-cli --serial 1 se", "set settings "},
             {"veltrace-cli --baud 1", "115200 19200 "},
             {"veltrace-cli --baud=5", "57600 "},
             {"veltrace-cli set --s", "--serial --store "},
             {"veltrace-cli --network host flash fw.hex --y", "--yes "},
             {"veltrace-cli hex --o", "--output "},
             {"veltrace-cli ports --o", "--open "},
             {"veltrace-cli restore backup.txt ", " "},  // one file only
         }) {
        std::vector<std::string> argv{"/bin/bash", "-c", script, "bash", library,
                                      std::string(VELTRACE_SOURCE_DIR) + "/data/completion/veltrace-cli"};
        std::istringstream words(c.line);
        for (std::string w; words >> w;) argv.push_back(w);
        if (c.line.back() == ' ') argv.back() += ' ';
        const TProgramResult r = runProgram(argv);
        EXPECT_EQ(r.out, c.offered) << c.line << "\n" << r.err;
    }
}

TEST(Desktop, EntryAndMetainfoValidateAndNameEachOther) {
    const std::string entry = std::string(VELTRACE_SOURCE_DIR) + "/data/" + appId + ".desktop";
    const TProgramResult desktop = runTool({"desktop-file-validate", entry});
    EXPECT_EQ(desktop.exitCode, 0) << describe(desktop);
    EXPECT_EQ(desktop.out + desktop.err, "");

    const std::string metainfoPath = buildDir + "/packaging/" + appId + ".metainfo.xml";
    const TProgramResult appstream = runTool({"appstreamcli", "validate", "--no-net", metainfoPath}, slowMs);
    EXPECT_EQ(appstream.exitCode, 0) << describe(appstream);
    EXPECT_FALSE(std::regex_search(appstream.out, std::regex("(^|\n)[EW]: "))) << appstream.out;

    const std::string metainfo = readFile(metainfoPath);
    EXPECT_NE(metainfo.find("<launchable type=\"desktop-id\">" + appId + ".desktop</launchable>"), std::string::npos);
    EXPECT_NE(metainfo.find(std::string("<release version=\"") + VELTRACE_PROJECT_VERSION + "\""), std::string::npos);
    EXPECT_NE(readFile(entry).find("\nIcon=veltrace\n"), std::string::npos);
}

}  // namespace

// The INI preference store: what it reads from and writes to a file in the Qt settings format.

#include "platform/preferences.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class IniPreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/veltrace-prefs-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        folder = tmpl;
    }
    void TearDown() override { fs::remove_all(folder); }

    TIniPreferences store() {
        return TIniPreferences(folder, [this](const std::string& m) { messages.push_back(m); });
    }
    std::string file() const { return folder + "/Harnwick/Veltrace.conf"; }
    std::string contents() const {
        std::ifstream in(file(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void put(const std::string& text) {
        fs::create_directories(folder + "/Harnwick");
        std::ofstream(file(), std::ios::binary) << text;
    }

    std::string folder;
    std::vector<std::string> messages;
};

TEST_F(IniPreferencesTest, EmptyStoreReadsEmptyWithoutComplaint) {
    auto s = store();
    EXPECT_EQ(s.readPreference("com.Type"), "");
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(fs::exists(file()));  // reading creates nothing
}

TEST_F(IniPreferencesTest, FirstWriteCreatesTheFileAsQtWouldWriteIt) {
    auto s = store();
    s.writePreference("com.Type", "serial");
    s.writePreference("comm.baudrate", "57600");
    EXPECT_EQ(contents(), "[General]\ncom.Type=serial\ncomm.baudrate=57600\n");
    EXPECT_EQ(s.readPreference("com.Type"), "serial");
    EXPECT_EQ(s.readPreference("comm.baudrate"), "57600");
    EXPECT_TRUE(messages.empty());
}

TEST_F(IniPreferencesTest, RewritingAKeyKeepsEveryOtherLineAndSection) {
    put("; written by hand\n[General]\ncom.Type=network\ncomm.hostname=ecu.local\n\n"
        "[MainWindow]\ngeometry=@ByteArray(abc)\ncom.Type=not-this-one\n");
    auto s = store();
    s.writePreference("com.Type", "serial");
    s.writePreference("comm.portnum", "4000");
    EXPECT_EQ(contents(),
              "; written by hand\n[General]\ncom.Type=serial\ncomm.hostname=ecu.local\ncomm.portnum=4000\n\n"
              "[MainWindow]\ngeometry=@ByteArray(abc)\ncom.Type=not-this-one\n");
    // A key of the same name in another section is another key.
    EXPECT_EQ(s.readPreference("com.Type"), "serial");
}

TEST_F(IniPreferencesTest, TopLevelKeysBeforeAnySectionAndAFileWithoutGeneral) {
    put("comm.comport=3\n");
    auto s = store();
    EXPECT_EQ(s.readPreference("comm.comport"), "3");
    put("[Other]\nx=1\n");
    s.writePreference("comm.comport", "2");
    EXPECT_EQ(contents(), "[General]\ncomm.comport=2\n\n[Other]\nx=1\n");
    EXPECT_EQ(s.readPreference("x"), "");
}

TEST_F(IniPreferencesTest, ValuesWithSpecialCharactersRoundTripInQtsEscapedForm) {
    auto s = store();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a;b,c=d", "\"a;b,c=d\""},
        {" padded ", "\" padded \""},
        {"quote\" back\\slash", "quote\\\" back\\\\slash"},
        {"tab\there\nnewline", "tab\\there\\nnewline"},
        {"@at", "@@at"},
        {std::string("\x01") + "1", "\\x1\\x31"},  // a digit after a hex escape is escaped too
        {"", ""},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const auto& [value, written] : cases) {
        EXPECT_EQ(ini_format::escapeValue(value), written) << value;
        s.writePreference("comm.hostname", value);
        EXPECT_EQ(s.readPreference("comm.hostname"), value);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(IniPreferencesTest, ReadsWhatQtWritesAndAcceptsHandEditedSpacing) {
    put("[General]\n  comm.hostname = \"host;name\" ; comment\ncomm.portnum=32000 ; trailing\n"
        "com.Type=\"net\\\nwork\"\nkey%20with%20space=1\ngroup\\inner=2\n");
    auto s = store();
    EXPECT_EQ(s.readPreference("comm.hostname"), "host;name");
    EXPECT_EQ(s.readPreference("comm.portnum"), "32000");
    EXPECT_EQ(s.readPreference("com.Type"), "network");  // a line continued after a backslash
    EXPECT_EQ(s.readPreference("key with space"), "1");
    EXPECT_EQ(s.readPreference("inner"), "");             // "group/inner" is not a top-level key
    EXPECT_EQ(ini_format::escapeKey("key with/slash"), "key%20with\\slash");
    EXPECT_TRUE(messages.empty());
}

TEST_F(IniPreferencesTest, AValueThatIsNotATextIsReportedAndReadsEmpty) {
    put("[General]\ncomm.portnum=1, 2\ncom.Type=@Variant(\\0\\0\\0\\x7f)\n");
    auto s = store();
    EXPECT_EQ(s.readPreference("comm.portnum"), "");
    EXPECT_EQ(s.readPreference("com.Type"), "");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Error retrieving setting", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find(file()), std::string::npos);
}

TEST_F(IniPreferencesTest, WritesAreAtomicAndFailuresAreReportedNotRaised) {
    auto s = store();
    s.writePreference("com.Type", "serial");
    struct stat st {};
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    const ino_t before = st.st_ino;
    s.writePreference("com.Type", "network");
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_NE(st.st_ino, before);  // a new file renamed over the old one, not rewritten in place
    EXPECT_FALSE(fs::exists(file() + ".lock"));
    for (const auto& e : fs::directory_iterator(folder + "/Harnwick"))
        EXPECT_EQ(e.path().filename(), "Veltrace.conf");  // no temporary left behind

    EXPECT_TRUE(messages.empty());

    // A store that cannot be written (its folder is a file): reported, not raised.
    TIniPreferences blocked(file(), [this](const std::string& m) { messages.push_back(m); });
    blocked.writePreference("com.Type", "serial");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Error saving settings", 0), 0u);
    EXPECT_NE(messages[0].find(blocked.fileName()), std::string::npos);
    EXPECT_EQ(blocked.readPreference("com.Type"), "");
    EXPECT_EQ(s.readPreference("com.Type"), "network");
}

TEST_F(IniPreferencesTest, AWriteWaitsForAndTakesOverAStaleLock) {
    put("[General]\ncom.Type=network\n");
    // A lock left by a process that has ended: taken over at once.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::ofstream(file() + ".lock") << child << "\nsomeapp\n" << host << "\n";
    auto s = store();
    s.writePreference("com.Type", "serial");
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(s.readPreference("com.Type"), "serial");
    // A lock held by a live process is respected: the write gives up and says so.
    std::ofstream(file() + ".lock") << ::getpid() << "\nsomeapp\n" << host << "\n";
    s.writePreference("com.Type", "network");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("locked"), std::string::npos);
    EXPECT_EQ(s.readPreference("com.Type"), "serial");
    fs::remove(file() + ".lock");
}

TEST(IniPreferencesFolder, FollowsXdgConfigHomeThenHome) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("XDG_CONFIG_HOME", "/x/config", 1);
    EXPECT_EQ(TIniPreferences::defaultConfigFolder(), "/x/config");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(TIniPreferences::defaultConfigFolder(), "/home/someone/.config");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(TIniPreferences::defaultConfigFolder(), "/home/someone/.config");
    if (oldXdg) ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
    if (oldHome) ::setenv("HOME", savedHome.c_str(), 1);
    else ::unsetenv("HOME");
}

}  // namespace

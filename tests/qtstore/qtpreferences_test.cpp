// The preference store on QSettings, against files in a temporary folder.

#include "qtstore/qtpreferences.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

// A settings file exactly as the command-line front wrote it with its own INI writer, before
// the store moved to QSettings.
const char cliWrittenFile[] =
    "[General]\n"
    "com.Type=serial\n"
    "comm.comport=3\n"
    "comm.baudrate=57600\n"
    "comm.hostname=\"ecu;bench, \\\"lab\\\" = 2\"\n"
    "comm.portnum=\" 4000 \"\n"
    "note=@@home\\\\caf\xc3\xa9\\ttab\n"
    "empty=\n";

class QtPreferencesTest : public ::testing::Test {
protected:
    TQtPreferences store() {
        return TQtPreferences(file(), [this](const std::string& m) { messages.push_back(m); });
    }
    std::string file() const { return dir.path + "/Harnwick/Veltrace.conf"; }
    void put(const std::string& text) {
        fs::create_directories(dir.path + "/Harnwick");
        std::ofstream(file(), std::ios::binary) << text;
    }
    // Runs `body` as a user who may not write what root may (root writes anywhere): 0 when
    // the body returned true, 3 when privileges could not be dropped.
    template <class Body>
    int asPlainUser(Body body) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
            ::_exit(body() ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TTempDir dir;
    Strings messages;
};

TEST_F(QtPreferencesTest, AnEmptyStoreReadsEmptyAndCreatesNothing) {
    auto s = store();
    EXPECT_EQ(s.readPreference("com.Type"), "");
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(QtPreferencesTest, AFileTheCommandLineFrontWroteReadsTheSame) {
    put(cliWrittenFile);
    auto s = store();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"com.Type", "serial"},
        {"comm.comport", "3"},
        {"comm.baudrate", "57600"},
        {"comm.hostname", "ecu;bench, \"lab\" = 2"},
        {"comm.portnum", " 4000 "},
        {"note", "@home\\caf\xc3\xa9\ttab"},
        {"empty", ""},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(s.readPreference(key), value) << key;
    // Writing one key keeps every other.
    s.writePreference("comm.comport", "4");
    for (const auto& [key, value] : expected)
        EXPECT_EQ(s.readPreference(key), key == "comm.comport" ? "4" : value) << key;
    EXPECT_TRUE(messages.empty());
}

TEST_F(QtPreferencesTest, AValueThatIsNotATextIsReportedAndReadsEmpty) {
    put("[General]\ncomm.portnum=1, 2\ncom.Type=@Point(1 2)\n");
    auto s = store();
    EXPECT_EQ(s.readPreference("comm.portnum"), "");
    EXPECT_EQ(s.readPreference("com.Type"), "");
    ASSERT_EQ(messages.size(), 2u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.rfind("Error retrieving setting", 0), 0u) << m;
        EXPECT_NE(m.find(file()), std::string::npos) << m;
    }
}

// A damaged @Variant claims any length: QSettings allocated gigabytes and hung on reading any
// key and on every write. Such a file is reported, never decoded.
TEST_F(QtPreferencesTest, AValueDecodedFromABinaryStreamIsNeverDecoded) {
    put("[General]\ncom.Type=serial\ncomm.portnum=@Variant(\\0\\0\\0\\n\\x7f\\xff\\xff\\xff)\n");
    auto s = store();
    EXPECT_EQ(s.readPreference("com.Type"), "");
    s.writePreference("com.Type", "network");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Error retrieving setting (com.Type from " + file() + ": the file holds a value that is "
                                "not a text", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1].rfind("Error saving settings (com.Type to ", 0), 0u) << messages[1];
    std::ifstream in(file());
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(in), {}).find("com.Type=serial"), std::string::npos)
        << "the file was changed";
}

TEST_F(QtPreferencesTest, AStoreThatCannotBeWrittenOrReadIsReportedNotRaised) {
    put("[General]\ncom.Type=network\n");
    ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
    ASSERT_EQ(::chmod((dir.path + "/Harnwick").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(file().c_str(), 0444), 0);
    const std::string lockedFolder = dir.path + "/locked";
    fs::create_directories(lockedFolder);
    ASSERT_EQ(::chmod(lockedFolder.c_str(), 0555), 0);
    const std::string unreadable = dir.path + "/unreadable.conf";
    std::ofstream(unreadable) << "[General]\ncom.Type=serial\n";
    ASSERT_EQ(::chmod(unreadable.c_str(), 0200), 0);

    const int status = asPlainUser([&] {
        Strings told;
        auto tell = [&](const std::string& m) { told.push_back(m); };
        // A read-only file: the write is reported, the old value stays.
        TQtPreferences readOnly(file(), tell);
        readOnly.writePreference("com.Type", "serial");
        if (told.size() != 1 || told[0].rfind("Error saving settings", 0) != 0) return false;
        if (readOnly.readPreference("com.Type") != "network") return false;
        // A read-only folder without the file.
        TQtPreferences noFolder(lockedFolder + "/Veltrace.conf", tell);
        noFolder.writePreference("com.Type", "serial");
        if (told.size() != 2 || told[1].rfind("Error saving settings", 0) != 0) return false;
        // A file that cannot be read.
        TQtPreferences hidden(unreadable, tell);
        if (!hidden.readPreference("com.Type").empty()) return false;
        return told.size() == 3 && told[2].rfind("Error retrieving setting", 0) == 0;
    });
    if (status == 3) GTEST_SKIP() << "cannot drop privileges here";
    EXPECT_EQ(status, 0);
}

TEST(QtPreferencesLocation, TheUsersStoreFollowsXdgConfigHome) {
    TTempDir home;
    ::setenv("XDG_CONFIG_HOME", home.path.c_str(), 1);
    Strings messages;
    TQtPreferences s([&](const std::string& m) { messages.push_back(m); });
    EXPECT_EQ(s.location(), home.path + "/Harnwick/Veltrace.conf");
    s.writePreference("com.Type", "serial");
    EXPECT_EQ(s.readPreference("com.Type"), "serial");
    EXPECT_TRUE(fs::exists(home.path + "/Harnwick/Veltrace.conf"));
    EXPECT_TRUE(messages.empty());
}

}  // namespace

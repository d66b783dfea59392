// The command line of veltrace-cli and the backup format that `settings` prints and `restore`
// reads, in-process.

#include "data/backupfile.h"
#include "cli/cliargs.h"

#include <gtest/gtest.h>

namespace {

TCliOptions parse(std::vector<std::string> args) { return parseArguments(args); }

std::string usageError(std::vector<std::string> args) {
    try {
        parseArguments(args);
    } catch (const EUsageError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(CliArguments, LinkOptionsBeforeOrAfterTheCommand) {
    auto o = parse({"--network", "ecu.local:4000", "info"});
    EXPECT_EQ(o.link, TLinkChoice::Network);
    EXPECT_EQ(o.host, "ecu.local");
    EXPECT_EQ(o.tcpPort, 4000);
    EXPECT_EQ(o.command, "info");

    o = parse({"settings", "--serial=/dev/pts/7", "--baud", "57600", "--echo"});
    EXPECT_EQ(o.link, TLinkChoice::Serial);
    EXPECT_EQ(o.serialDevice, "/dev/pts/7");
    EXPECT_EQ(o.serialPortNumber, 0);
    EXPECT_EQ(o.baudRate, 57600);
    EXPECT_TRUE(o.echo);

    o = parse({"--serial", "3", "info"});
    EXPECT_EQ(o.serialPortNumber, 3);
    EXPECT_TRUE(o.serialDevice.empty());

    o = parse({"info"});
    EXPECT_EQ(o.link, TLinkChoice::Stored);
    EXPECT_FALSE(o.baudRate.has_value());
}

TEST(CliArguments, HostsAndPortsIncludingIPv6) {
    struct Case {
        std::string text, host;
        int port;
    };
    for (const Case& c : std::vector<Case>{{"127.0.0.1", "127.0.0.1", 32000},
                                           {"localhost:1", "localhost", 1},
                                           {"[::1]:32001", "::1", 32001},
                                           {"[fe80::1]", "fe80::1", 32000},
                                           {"::1", "::1", 32000}}) {
        std::string host;
        int port = 0;
        parseHostPort(c.text, host, port);
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    for (const std::string bad : {"host:", "host:0", "host:65536", "host:12x", "[::1", "[::1]x", ":80", "[]:80"})
        EXPECT_NE(usageError({"--network", bad, "info"}), "(accepted)") << bad;
}

TEST(CliArguments, CommandsTheirOperandsAndOptions) {
    auto o = parse({"set", "fan_temp", "95", "--store"});
    EXPECT_EQ(o.args, (std::vector<std::string>{"fan_temp", "95"}));
    EXPECT_TRUE(o.store);
    o = parse({"flash", "--yes", "new.hex"});
    EXPECT_TRUE(o.yes);
    EXPECT_EQ(o.args, std::vector<std::string>{"new.hex"});
    o = parse({"hex", "fw.hex", "-o", "fw.bin"});
    EXPECT_EQ(o.output, "fw.bin");
    o = parse({"restore", "--", "-odd-name.txt"});
    EXPECT_EQ(o.args, std::vector<std::string>{"-odd-name.txt"});
}

TEST(CliArguments, HelpForTheProgramAndForEachCommand) {
    auto o = parse({"--help"});
    EXPECT_TRUE(o.help);
    EXPECT_TRUE(o.command.empty());
    EXPECT_NE(helpText("").find("COMMANDS"), std::string::npos);
    for (const std::string cmd : {"info", "settings", "set", "flash", "import", "restore", "hex", "ports"}) {
        o = parse({cmd, "--help"});  // operands may be missing when help is asked for
        EXPECT_TRUE(o.help);
        EXPECT_EQ(o.command, cmd);
        EXPECT_NE(helpText(cmd).find("Usage: veltrace-cli [LINK] " + cmd), std::string::npos);
        // The summary in the program's list is a whole sentence, not a cut line.
        const std::string text = helpText("");
        const size_t at = text.find("\n  " + cmd + " ");
        ASSERT_NE(at, std::string::npos) << cmd;
        const std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
        EXPECT_EQ(line.back(), '.') << line;
    }
}

TEST(CliArguments, BadUsageIsRefusedWithAMessageThatSaysWhy) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {{}, "no command"},
             {{"frobnicate"}, "unknown command 'frobnicate'"},
             {{"info", "extra"}, "takes no argument 'extra'"},
             {{"set", "fan_temp"}, "needs more arguments"},
             {{"set", "fan_temp", "256"}, "between 0 and 255, not 256"},
             {{"set", "fan_temp", "-1"}, "not '-1'"},
             {{"set", "fan_temp", "0x10"}, "not '0x10'"},
             {{"info", "--store"}, "unknown option '--store' for info"},
             {{"info", "--open"}, "unknown option '--open' for info"},
             {{"flash", "a.hex", "-o", "x"}, "unknown option '-o'"},
             {{"--network", "a", "--serial", "1", "info"}, "one link option"},
             {{"--network", "a", "--baud", "9600", "info"}, "serial link only"},
             {{"--baud", "fast", "info"}, "--baud"},
             // Any other rate would strand the ECU after "mcB00".
             {{"--baud", "230400", "info"}, "the ECU knows the bit rates 9600, 19200, 38400, 57600 and 115200 only, not 230400"},
             {{"--baud", "300", "info"}, "not 300"},
             {{"--baud=12345", "info"}, "not 12345"},
             {{"--serial", "0", "info"}, "between 1 and"},
             {{"--serial", "/dev/a:b", "info"}, "':'"},
             {{"info", "--network"}, "--network needs a value"},
             {{"--serial", "1", "ports"}, "ports lists the serial port list and takes no link option"},
             {{"ports", "--baud", "9600"}, "takes no link option"},
         }) {
        const std::string error = usageError(c.args);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(BackupFormat, ReadsWhatSettingsPrints) {
    TECUSettings table;
    table.setEntry("lcd_c0", 12, 0);
    table.setEntry("fan_temp", 255, 7);
    table.setEntry("has space", 0, 255);
    table.setValue(3, 99);  // a slot without a name: printed among the lines the ECU sent
    EXPECT_EQ(settingsToText(table, 4), "0\tlcd_c0\t12\n1\t\t0\n2\t\t0\n3\t\t99\n7\tfan_temp\t255\n255\thas space\t0\n");
    EXPECT_EQ(parseBackup(settingsToText(table, 4), "b.txt")[3].name, "");
    const std::string text = settingsToText(table);
    EXPECT_EQ(text, "0\tlcd_c0\t12\n7\tfan_temp\t255\n255\thas space\t0\n");

    const auto entries = parseBackup(text, "b.txt");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].slot, 7);
    EXPECT_EQ(entries[1].name, "fan_temp");
    EXPECT_EQ(entries[1].value, 255);
    EXPECT_EQ(entries[2].name, "has space");
    EXPECT_EQ(entries[2].line, 3);
}

// The ECU sends what names it likes: every backup the tool writes must restore.
TEST(BackupFormat, NamesWithControlCharactersAreEscapedAndReadBack) {
    const std::vector<std::string> names = {"tab\there", "line\nbreak", "cr\rend", std::string("nul\0x", 5),
                                            "back\\slash\\t", "del\x7f", "bell\x07", "#hash", " spaced "};
    TECUSettings table;
    for (size_t i = 0; i < names.size(); ++i) table.setEntry(names[i], static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i));
    const std::string text = settingsToText(table);
    EXPECT_EQ(text.substr(0, text.find('\n', text.find('\n') + 1) + 1), "0\ttab\\there\t1\n1\tline\\nbreak\t2\n");
    const auto entries = parseBackup(text, "b.txt");
    ASSERT_EQ(entries.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(entries[i].name, names[i]) << i;
        EXPECT_EQ(entries[i].value, i + 1);
    }
    // A backslash that starts no escape stands for itself.
    EXPECT_EQ(parseBackup("0\ta\\qb\\\t1\n", "b.txt")[0].name, "a\\qb\\");
}

TEST(BackupFormat, CrLfBlankLinesCommentsAndNoFinalLineBreak) {
    EXPECT_EQ(parseBackup("# made by hand\n  # indented\n3\tx\t4\n", "b.txt").size(), 1u);
    const auto entries = parseBackup("\r\n1\ta\t1\r\n\n  \n2\tb\t002", "b.txt");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].line, 2);
    EXPECT_EQ(entries[1].line, 5);
    EXPECT_EQ(entries[1].value, 2);
    EXPECT_TRUE(parseBackup("", "b.txt").empty());
}

TEST(BackupFormat, RefusesAnythingElseNamingFileAndLine) {
    struct Case {
        std::string text;
        int line;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {"0\ta\t1\n1 b 2\n", 2, "not three TAB-separated fields"},
             {"0\ta\t1\textra\n", 1, "not three"},
             {"0\ta\t256\n", 1, "\"256\" of a is not a number from 0 to 255"},
             {"0\ta\t-1\n", 1, "\"-1\""},
             {"0\ta\t 1\n", 1, "\" 1\""},
             {"0\ta\t1000000000000\n", 1, "not a number"},
             {"0\ta\t\n", 1, "value \"\""},
             {"x\ta\t1\n", 1, "slot \"x\""},
             {"256\ta\t1\n", 1, "slot \"256\""},
             {"0\t\t1x\n", 1, "of unnamed slot 0 is not"},
             {"0\ta\x01\t1\n", 1, "control character"},
             {"5\ta\t1\n\n5\tb\t2\n", 3, "slot 5 was already given on line 1"},
             {"Restored 3 settings\n", 1, "not three"},
         }) {
        try {
            parseBackup(c.text, "/tmp/backup.txt");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const EBackupFormat& e) {
            const std::string what = e.what();
            EXPECT_EQ(e.line, c.line) << what;
            EXPECT_EQ(what.rfind("/tmp/backup.txt line " + std::to_string(c.line) + ": ", 0), 0u) << what;
            EXPECT_NE(what.find(c.says), std::string::npos) << what;
        }
    }
}

}  // namespace

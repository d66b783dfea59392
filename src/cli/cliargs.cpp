#include "cli/cliargs.h"

#include <array>

#include "ecu/ecu.h"
#include "platform/convert.h"

namespace {

struct TCommandInfo {
    const char* name;
    int minArgs, maxArgs;
    const char* usage;
    const char* summary;  // one whole sentence for the program's list of commands
    const char* help;
};

const std::array<TCommandInfo, 9> commands{{
    {"info", 0, 0, "info", "Prints the firmware version.",
     "Goes online and prints the firmware line as the app's status bar shows it\n"
     "(\"Firmware v.1.0.22\", or \"Firmware v.Unknown\"), or \"Bootloader only\" when the ECU\n"
     "answered only through its bootloader.\n"},
    {"settings", 0, 0, "settings", "Prints the settings table (a backup).",
     "Goes online and prints the settings table: one line per slot the ECU sent, in slot\n"
     "order: slot number, TAB, name (empty for a slot without one), TAB, value in decimal (a\n"
     "TAB, line break, backslash or other control character in a name is written \\t, \\n,\n"
     "\\\\, \\xHH). The output is a backup that `restore` reads back. Lines past the table's\n"
     "256 slots are dropped, and standard error says how many. An ECU that sends no settings\n"
     "is exit status 1.\n"},
    {"set", 2, 2, "set NAME VALUE [--store] [--slot]", "Writes one setting.",
     "Goes online, sets the named setting to VALUE (decimal 0-255), writes it to the ECU and\n"
     "reads the table back to check it. A name that several slots hold is refused, naming\n"
     "them: give one of them with --slot.\n"
     "  --store   the ECU then stores its settings, so that they survive a power-off\n"
     "  --slot    NAME is a slot number (0-255): a name held by several slots, or a slot\n"
     "            without a name\n"},
    {"flash", 1, 1, "flash FILE.hex [--yes]", "Replaces the firmware, keeping the settings.",
     "Goes online and replaces the ECU's firmware with FILE.hex (an ECU that answers only\n"
     "through its bootloader is flashed all the same). The settings are backed up first and\n"
     "carried over to the new firmware by name; the carry-over report is printed at the end.\n"
     "Asks the reflash question on the terminal first. While the flash runs, Ctrl-C, Ctrl-\\\n"
     "and SIGTERM are answered with a warning (the third stops it) and a hang-up stops\n"
     "nothing: the outcome is also written next to the backup (...-carryover.txt when the\n"
     "flash went through, ...-failed.txt when it did not).\n"
     "  --yes     do not ask (needed where standard input is not a terminal)\n"},
    {"import", 1, 1, "import FILE.mtt", "Sends a settings file.",
     "Goes online and sends the settings file FILE.mtt to the ECU, line by line.\n"},
    {"restore", 1, 1, "restore FILE [--dry-run]", "Writes a backup back to the ECU.",
     "Goes online; for every line of FILE (the format `settings` prints, and the backups\n"
     "written before each flash) whose name the ECU's table holds and whose value differs,\n"
     "sets and writes that slot's value; then has the ECU store its settings and reads the\n"
     "table back to check them. The whole file is checked before anything is written; lines\n"
     "starting with \"#\" are comments. Prints how many settings were restored (and how many\n"
     "already held the file's value) and which names the ECU does not have. A file with no\n"
     "settings in it is exit status 3.\n"
     "  --dry-run  write nothing: print what a restore would write, as `diff` prints it (the\n"
     "             file's value on the left, the ECU's on the right); exit status 4 when\n"
     "             there is something to write, 0 when not\n"},
    {"diff", 1, 2, "diff FILE [FILE2]", "Compares a settings file with the ECU or another file.",
     "Compares the settings of FILE (the format `settings` prints) with the ECU's table, or\n"
     "with FILE2 without any link. Settings are matched by name (a name held by several\n"
     "slots by its order among them). One line per difference, sorted by name:\n"
     "NAME, TAB, the value in FILE, TAB, the value on the ECU or in FILE2 (decimal; \"-\"\n"
     "where a side has no such name). Exit status 0 when they are the same (no output), 4\n"
     "when they differ; with --quiet only the status tells.\n"},
    {"hex", 1, 1, "hex FILE.hex [-o OUT]", "Checks a firmware file; needs no ECU.",
     "Reads FILE.hex as the app does and prints \"image N bytes\". Needs no ECU. A file that\n"
     "flash would refuse (not valid HEX, cut short, no data, more than 131072 bytes) is\n"
     "exit status 3.\n"
     "  -o OUT    also write the flat image, exactly N bytes, to OUT; with -o - the image\n"
     "            goes to standard output and the size line to standard error\n"},
    {"ports", 0, 0, "ports [--open]", "Lists the serial ports; needs no ECU.",
     "Lists the serial port list, one line per port: its number (what --serial N and the\n"
     "app's settings take), TAB, its device, TAB, \"looks usable (not opened)\" or why it\n"
     "cannot be used: no such device, not a serial port, permission denied (with the remedy:\n"
     "the dialout group, where the device belongs to it), or in use by another program (named\n"
     "where the system shows it). Lines starting with a TAB follow with what the system knows\n"
     "of the device: its /dev/serial/by-id name (it stays the same when the adapter is\n"
     "plugged in elsewhere), the adapter's maker, product, serial number, USB ids and driver,\n"
     "and, for a ttyACM device while ModemManager runs, the udev rule that keeps it away.\n"
     "No device is opened. The list is the paths of VELTRACE_SERIAL_PORTS when that is set,\n"
     "otherwise /dev/ttyUSB*, /dev/ttyACM* and /dev/ttyS*. Takes no link option.\n"
     "  --open    also open each device and close it again, to be sure it can be opened\n"
     "            (\"can be opened\"); its terminal settings are left as they were, but opening\n"
     "            raises DTR and RTS and closing drops them, which resets some adapters and ECUs\n"},
}};

const TCommandInfo* findCommand(const std::string& name) {
    for (const auto& c : commands)
        if (name == c.name) return &c;
    return nullptr;
}

const char* linkHelp =
#if VELTRACE_STORE
    "LINK (when none is given, the stored preferences choose the link as the app does):\n"
#else
    "LINK (this build keeps no preferences: when none is given, the network link to\n"
    "127.0.0.1:32000):\n"
#endif
    "  --network HOST[:PORT]   network link to HOST, TCP port PORT (default 32000);\n"
    "                          an IPv6 address with a port is written [ADDR]:PORT\n"
    "  --serial PATH|N         serial link on the device PATH (a tty or a pseudo-terminal)\n"
    "                          or on port number N of the serial port list\n"
    "  --baud RATE             bit rate of the serial link: 9600 (the default), 19200,\n"
    "                          38400, 57600 or 115200, the rates the ECU knows\n"
    "  --echo                  copy the link traffic to standard error, sent bytes marked\n"
    "                          \">\", received bytes \"<\"\n"
    "  --quiet                 no progress on standard error, only results and errors\n"
    "                          (progress shows on a terminal; elsewhere only its milestones)\n";

const char* exitHelp =
    "Exit status: 0 done; 1 the link could not be opened, the ECU did not answer, the\n"
    "operation failed, or the output could not be written; 2 bad usage; 3 a file that cannot\n"
    "be read (only regular files of at most 16 MiB are read), a firmware file that is not a\n"
    "valid Intel HEX image the ECU can take, or a backup without settings; 4 `diff` or\n"
    "`restore --dry-run` found differences.\n";

// A whole decimal number in [lo, hi], or EUsageError naming what it was for.
int parseNumber(const std::string& text, int lo, int hi, const std::string& what) {
    bool digits = !text.empty() && text.size() <= 9;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (!digits) throw EUsageError(what + " must be a whole number, not '" + text + "'");
    const int v = strToInt(text);
    if (v < lo || v > hi)
        throw EUsageError(what + " must be between " + std::to_string(lo) + " and " + std::to_string(hi) +
                          ", not " + text);
    return v;
}

}  // namespace

bool isCommand(const std::string& word) { return findCommand(word) != nullptr; }

void parseHostPort(const std::string& text, std::string& host, int& port) {
    port = cli_defaults::tcpPort;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) throw EUsageError("--network: missing ']' in '" + text + "'");
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') throw EUsageError("--network: expected ':PORT' after ']' in '" + text + "'");
            portText = rest.substr(1);
            if (portText.empty()) throw EUsageError("--network: missing port after ':' in '" + text + "'");
        }
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
            host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            if (portText.empty()) throw EUsageError("--network: missing port after ':' in '" + text + "'");
        } else {
            host = text;  // a name, an IPv4 address, or a bare IPv6 address
        }
    }
    if (host.empty()) throw EUsageError("--network: missing host in '" + text + "'");
    if (!portText.empty()) port = parseNumber(portText, 1, 65535, "--network: the TCP port");
}

TCliOptions parseArguments(const std::vector<std::string>& args) {
    TCliOptions o;
    bool linkGiven = false;
    bool optionsEnded = false;

    // "--name VALUE" or "--name=VALUE".
    size_t i = 0;
    auto valueOf = [&](const std::string& arg, const std::string& name, std::string& value) {
        if (arg == name) {
            if (i + 1 >= args.size()) throw EUsageError(name + " needs a value");
            value = args[++i];
            return true;
        }
        if (arg.rfind(name + "=", 0) == 0) {
            value = arg.substr(name.size() + 1);
            return true;
        }
        return false;
    };
    auto chooseLink = [&](TLinkChoice choice) {
        if (linkGiven) throw EUsageError("give one link option only: --network or --serial");
        linkGiven = true;
        o.link = choice;
    };

    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            if (o.command.empty()) {
                if (!isCommand(a)) throw EUsageError("unknown command '" + a + "'");
                o.command = a;
            } else {
                o.args.push_back(a);
            }
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (valueOf(a, "--network", v)) {
            chooseLink(TLinkChoice::Network);
            parseHostPort(v, o.host, o.tcpPort);
        } else if (valueOf(a, "--serial", v)) {
            chooseLink(TLinkChoice::Serial);
            if (v.empty()) throw EUsageError("--serial needs a device path or a port number");
            if (v.find_first_not_of("0123456789") == std::string::npos) {
                o.serialPortNumber = parseNumber(v, 1, 255, "--serial: the port number");
            } else {
                o.serialDevice = v;
            }
        } else if (valueOf(a, "--baud", v)) {
            o.baudRate = parseNumber(v, 1, 4000000, "--baud: the bit rate");
            // A rate the ECU does not know would strand it there after "mcB".
            if (!ecu_protocol::isKnownBaudRate(*o.baudRate))
                throw EUsageError("--baud: the ECU knows the bit rates " + ecu_protocol::knownBaudRatesText() +
                                  " only, not " + v);
        } else if (a == "--echo") {
            o.echo = true;
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--store" && o.command == "set") {
            o.store = true;
        } else if (a == "--dry-run" && o.command == "restore") {
            o.dryRun = true;
        } else if (a == "--slot" && o.command == "set") {
            o.bySlot = true;
        } else if (a == "--yes" && o.command == "flash") {
            o.yes = true;
        } else if (a == "--open" && o.command == "ports") {
            o.openPorts = true;
        } else if (o.command == "hex" && (valueOf(a, "-o", v) || valueOf(a, "--output", v))) {
            if (v.empty()) throw EUsageError("-o needs a file name");
            o.output = v;
        } else if (a.size() > 1 && a[1] != '-' && a.find_first_not_of("0123456789", 1) == std::string::npos &&
                   o.command == "set") {
            o.args.push_back(a);  // a negative value: refused below with the value's own message
        } else {
            throw EUsageError("unknown option '" + a + "'" + (o.command.empty() ? "" : " for " + o.command));
        }
    }

    if (o.help || o.version) return o;
    if (o.command.empty()) throw EUsageError("no command given");
    const TCommandInfo& info = *findCommand(o.command);
    if (static_cast<int>(o.args.size()) < info.minArgs)
        throw EUsageError(o.command + " needs more arguments: " + cli_defaults::program + " " + info.usage);
    if (static_cast<int>(o.args.size()) > info.maxArgs)
        throw EUsageError(o.command + " takes no argument '" + o.args[info.maxArgs] + "': " +
                          cli_defaults::program + " " + info.usage);
    if (o.command == "set") parseNumber(o.args[1], 0, 255, "set: the value of " + o.args[0]);
    if (o.command == "diff" && o.args.size() == 2 && (o.link != TLinkChoice::Stored || o.baudRate))
        throw EUsageError("diff of two files needs no ECU and takes no link option");
    if (o.command == "set" && o.bySlot) parseNumber(o.args[0], 0, 255, "set --slot: the slot");
    if (o.command == "ports" && (o.link != TLinkChoice::Stored || o.baudRate))
        throw EUsageError("ports lists the serial port list and takes no link option");
    if (o.baudRate && o.link == TLinkChoice::Network) throw EUsageError("--baud applies to the serial link only");
    if (o.link == TLinkChoice::Serial && o.serialDevice.find(':') != std::string::npos)
        throw EUsageError("--serial: a device path may not contain ':' (" + o.serialDevice + ")");
    return o;
}

std::string helpText(const std::string& command) {
    const std::string program = cli_defaults::program;
    if (const TCommandInfo* c = findCommand(command)) {
        return "Usage: " + program + " [LINK] " + c->usage + "\n\n" + c->help + "\n" + linkHelp + "\n" + exitHelp;
    }
    std::string text = "Usage: " + program + " [LINK] COMMAND [ARGS]\n\n"
                       "Reads, sets, backs up and restores the settings of an ECU running the VIVU v3\n"
                       "firmware, flashes its firmware and imports settings files, without a desktop.\n\n" +
                       std::string(linkHelp) + "\nCOMMANDS\n";
    for (const auto& c : commands) {
        std::string line = std::string("  ") + c.usage;
        line.resize(28, ' ');
        text += line + c.summary + "\n";
    }
    text += "\n" + program + " COMMAND --help tells more about a command; " + program +
            " --version prints the version.\n\n" + exitHelp;
    return text;
}

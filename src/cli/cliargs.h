#pragma once
// The command line of veltrace-cli: link options, one command and its arguments.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The exit statuses of veltrace-cli.
enum TExitStatus : int {
    exitDone = 0,
    exitFailed = 1,    // the link did not open, the ECU did not answer, or the operation failed
    exitUsage = 2,     // bad usage (also: a reflash question with no terminal to ask)
    exitBadFile = 3,   // a file that cannot be read, or a firmware file that is not valid HEX
    exitDifferent = 4, // diff, restore --dry-run: the two sides differ (no failure)
};

// A command line that cannot be run. The message says what is wrong with it.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TLinkChoice { Stored, Network, Serial };

struct TCliOptions {
    TLinkChoice link = TLinkChoice::Stored;
    std::string host;                  // --network
    int tcpPort = 0;                   // --network HOST:PORT, the default when no port is given
    std::string serialDevice;          // --serial PATH
    int serialPortNumber = 0;          // --serial N (1 = the first port of the port list)
    std::optional<int> baudRate;       // --baud: one of the five rates the ECU knows
    bool echo = false;                 // --echo
    bool quiet = false;                // --quiet: no progress, only results and errors

    std::string command;               // empty with --help alone
    std::vector<std::string> args;     // the command's operands
    bool store = false;                // set --store
    bool bySlot = false;               // set --slot: the first operand is a slot number
    bool yes = false;                  // flash --yes
    bool dryRun = false;               // restore --dry-run
    bool openPorts = false;            // ports --open
    std::string output;                // hex -o OUT ("-": standard output)
    bool help = false;                 // --help: the program's, or the command's when one is named
    bool version = false;              // --version
};

namespace cli_defaults {
inline constexpr int tcpPort = 32000;
inline constexpr int baudRate = 9600;
inline constexpr const char* program = "veltrace-cli";
inline constexpr const char* standardOutput = "-";  // hex -o -
}  // namespace cli_defaults

// Parses the arguments after the program name. Throws EUsageError.
TCliOptions parseArguments(const std::vector<std::string>& args);

// "HOST", "HOST:PORT", "[V6ADDR]", "[V6ADDR]:PORT", or a bare IPv6 address. Throws EUsageError.
void parseHostPort(const std::string& text, std::string& host, int& port);

// The help text of the program (an empty command) or of one command.
std::string helpText(const std::string& command);

// True for the names of the commands.
bool isCommand(const std::string& word);

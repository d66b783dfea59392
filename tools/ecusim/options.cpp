#include "options.h"

#include "platform/convert.h"
#include "transport.h"

namespace ecusim {

namespace {

// Walks the arguments; "--name value" and "--name=value" both work.
class TArgs {
public:
    explicit TArgs(const std::vector<std::string>& args) : args(args) {}
    bool next() {
        if (at >= args.size()) return false;
        current = args[at++];
        inlineValue.reset();
        if (current.rfind("--", 0) == 0) {
            const size_t eq = current.find('=');
            if (eq != std::string::npos) {
                inlineValue = current.substr(eq + 1);
                current = current.substr(0, eq);
            }
        }
        return true;
    }
    const std::string& name() const { return current; }
    std::string value() {
        if (inlineValue) return *inlineValue;
        if (at >= args.size()) throw EUsage(current + " needs a value");
        return args[at++];
    }
    long number(long min, long max) {
        const std::string text = value();
        long v = 0;
        try {
            v = strToInt(text);
        } catch (const EConvertError&) {
            throw EUsage(current + ": '" + text + "' is not a whole number");
        }
        if (v < min || v > max)
            throw EUsage(current + ": " + text + " is outside " + std::to_string(min) + ".." + std::to_string(max));
        return v;
    }
    void noValue() const {
        if (inlineValue) throw EUsage(current + " takes no value");
    }

private:
    const std::vector<std::string>& args;
    size_t at = 0;
    std::string current;
    std::optional<std::string> inlineValue;
};

constexpr long maxCount = 1000000000L;

// "\r", "\n", "\t" and "\\" in a switch's text stand for the bytes.
std::string unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

// "N:REST": a settings line number and what goes with it.
std::pair<int, std::string> lineAnd(const std::string& option, const std::string& text) {
    const size_t colon = text.find(':');
    try {
        if (colon == std::string::npos) throw EConvertError("no colon", text);
        const int n = strToInt(text.substr(0, colon));
        if (n < 0) throw EConvertError("negative", text);
        return {n, text.substr(colon + 1)};
    } catch (const EConvertError&) {
        throw EUsage(option + ": '" + text + "' is not N:VALUE with a line number N from 0");
    }
}

TRefusal parseRefusal(const std::string& option, const std::string& text) {
    TRefusal r;
    const size_t colon = text.find(':');
    try {
        r.block = strToInt(text.substr(0, colon));
        if (colon != std::string::npos) r.times = strToInt(text.substr(colon + 1));
    } catch (const EConvertError&) {
        throw EUsage(option + ": '" + text + "' is not J or J:TIMES");
    }
    if (r.block < 0 || r.block > 511 || (colon != std::string::npos && r.times < 1))
        throw EUsage(option + ": block 0..511, TIMES at least 1");
    return r;
}

}  // namespace

TSimOptions parseSimOptions(const std::vector<std::string>& args) {
    TSimOptions o;
    TArgs a(args);
    while (a.next()) {
        const std::string& n = a.name();
        if (n == "--help" || n == "-h") o.help = true;
        else if (n == "--listen") {
            o.listen = a.value();
            o.listenGiven = true;
        } else if (n == "--pty") {
            a.noValue();
            o.pty = true;
        } else if (n == "--pty-link") {
            o.ptyLink = a.value();
            o.pty = true;
        } else if (n == "--pace") {
            a.noValue();
            o.pace = true;
        } else if (n == "--log") o.logPath = a.value();
        else if (n == "--state") o.statePath = a.value();
        else if (n == "--version") {
            const std::string v = a.value();
            if (v.find_first_of("\r\n") != std::string::npos) throw EUsage("--version: the text may not hold CR or LF");
            o.version = v;
        } else if (n == "--bootloader-only") {
            a.noValue();
            o.machine.bootloaderOnly = true;
        } else if (n == "--no-sync") {
            a.noValue();
            o.machine.noSync = true;
        } else if (n == "--no-bye") {
            a.noValue();
            o.machine.noBye = true;
        } else if (n == "--refuse-block") o.machine.refusals.push_back(parseRefusal(n, a.value()));
        else if (n == "--late-ack") {
            const TRefusal r = parseRefusal(n, a.value());
            if (r.times < 1) throw EUsage(n + ": J:MS with MS at least 1");
            o.machine.lateAcks.push_back(r);
        } else if (n == "--stray-ack") o.machine.strayAcks.push_back(static_cast<int>(a.number(0, 511)));
        else if (n == "--version-reply") o.machine.versionReply = unescaped(a.value());
        else if (n == "--version-delay") o.machine.versionDelayMs = static_cast<int>(a.number(0, 60000));
        else if (n == "--greeting") o.machine.greetingReply = unescaped(a.value());
        else if (n == "--line-end") {
            auto [line, text] = lineAnd(n, a.value());
            o.machine.lineEnds.emplace_back(line, unescaped(text));
        } else if (n == "--stored-value") {
            auto [line, text] = lineAnd(n, a.value());
            o.machine.storedValues.emplace_back(line, unescaped(text));
        } else if (n == "--settings-pause") {
            auto [line, text] = lineAnd(n, a.value());
            try {
                o.machine.settingsPauses.emplace_back(line, static_cast<int>(strToInt(text)));
            } catch (const EConvertError&) {
                throw EUsage(n + ": '" + text + "' is not a number of milliseconds");
            }
        } else if (n == "--after-bye") o.machine.afterBye = unescaped(a.value());
        else if (n == "--framing") {
            const std::string f = a.value();
            if (f.size() != 3 || f[0] < '5' || f[0] > '8' || (f[1] != 'N' && f[1] != 'E' && f[1] != 'O') ||
                (f[2] != '1' && f[2] != '2'))
                throw EUsage("--framing: '" + f + "' is not data bits 5-8, parity N, E or O, stop bits 1 or 2 (8N1)");
            o.framing = f;
        } else if (n == "--boot-ms") o.machine.bootMs = static_cast<int>(a.number(0, 60000));
        else if (n == "--silent-after") o.silentAfter = a.number(0, maxCount);
        else if (n == "--drop-after") o.dropAfter = a.number(0, maxCount);
        else if (n == "--noise") {
            a.noValue();
            o.noise = true;
        }
        else if (n == "--settings-gap") o.machine.settingsGapMs = static_cast<int>(a.number(0, 60000));
        else if (n == "--erase-ms") o.machine.eraseMs = static_cast<int>(a.number(0, 60000));
        else if (n == "--store-ms") o.machine.storeMs = static_cast<int>(a.number(0, 60000));
        else if (n == "--greeting-delay") o.machine.greetingDelayMs = static_cast<int>(a.number(0, 60000));
        else if (n == "--flash-kb") o.machine.flashBytes = static_cast<int>(a.number(16, 128)) * 1024;
        else if (n == "--wild-writes") {
            a.noValue();
            o.machine.wildWrites = true;
        } else if (n == "--odd-name") {
            auto [line, text] = lineAnd(n, a.value());
            o.machine.oddNames.emplace_back(line, unescaped(text));
        } else if (n == "--dump-gap") o.machine.dumpGaps.push_back(static_cast<int>(a.number(0, 100000)));
        else if (n == "--loose-order") {
            a.noValue();
            o.machine.looseOrder = true;
        }
        else if (n == "--settings-lines") o.machine.settingsLines = static_cast<int>(a.number(0, 100000));
        else throw EUsage("unknown option " + n);
    }
    if (o.pty && o.listenGiven) throw EUsage("--listen and --pty exclude each other: the ECU has one line");
    if (o.pty && !havePseudoTerminals())
        throw EUsage("--pty: this system has no pseudo-terminals; the simulator serves TCP here (--listen HOST:PORT)");
    try {
        splitHostPort(o.listen);
    } catch (const ETransportError& e) {
        throw EUsage(std::string("--listen: ") + e.what());
    }
    return o;
}

TMakeFirmwareOptions parseMakeFirmwareOptions(const std::vector<std::string>& args) {
    TMakeFirmwareOptions o;
    TArgs a(args);
    while (a.next()) {
        const std::string& n = a.name();
        if (n == "--help" || n == "-h") o.help = true;
        else if (n == "--version") {
            const std::string v = a.value();
            if (v.find_first_of("\r\n") != std::string::npos) throw EUsage("--version: the text may not hold CR or LF");
            o.version = v;
        } else if (n == "--settings") o.settingsPath = a.value();
        else if (n == "-o" || n == "--output") o.outPath = a.value();
        else if (n == "--size") o.size = a.number(256, 131072);
        else if (n == "--no-descriptor") {
            a.noValue();
            o.descriptor = false;
        } else throw EUsage("make-firmware: unknown option " + n);
    }
    if (!o.help && !o.version) throw EUsage("make-firmware needs --version V");
    if (!o.help && o.outPath.empty()) throw EUsage("make-firmware needs -o OUT.hex");
    return o;
}

std::string helpText() {
    return R"(veltrace-ecusim - a simulated ECU running the VIVU v3 firmware, for Veltrace

Usage:
  veltrace-ecusim [OPTIONS]                  serve one simulated ECU until stopped
  veltrace-ecusim make-firmware --version V [--settings FILE] -o OUT.hex
                  [--size BYTES] [--no-descriptor]
                                             write a firmware image for the simulator
  veltrace-ecusim default-settings           print the default firmware's settings table
  veltrace-ecusim --version                  print the program's version (with a value,
                                             --version sets the firmware's; see below)

The ECU answers one client at a time and serves connections one after another until
SIGINT or SIGTERM ends it (exit status 0). Its state (mode, bit rate, settings, flash)
lasts from one connection to the next, as an ECU's does while it has power; only a
half-received command and unsent replies are forgotten when a client goes.

Links (one of the two):
  --listen HOST:PORT   TCP server, default 127.0.0.1:32000. Port 0 takes a free port.
                       IPv6 addresses go in brackets: [::1]:0. The line
                         listening tcp HOST PORT
                       is printed on standard output once the server listens.
  --pty                a pseudo-terminal instead of TCP; the line
                         listening pty PATH
                       names its terminal end, which the tool opens as a serial port (for
                       example VELTRACE_SERIAL_PORTS=PATH). Bit rates count here: the ECU
                       starts at 9600 bit/s and changes its rate on "mcB"+HH and on entering
                       the bootloader; it reads the rate the tool set on the terminal. Bytes
                       that cross while the two rates differ are lost, both ways. Received
                       bytes count as sent at the terminal's rate when they are read, or at
                       the rate it had just before (a tool may switch right after writing);
                       bytes after "mcB" in the same chunk went out at the old rate.
  --pty-link PATH      with --pty: a symbolic link PATH to the terminal end (implies --pty).
                       --drop-after hangs the terminal up; a new one takes its place behind
                       the link and its own "listening pty" line is printed.
  --pace               bytes take as long as on a real serial line: ten bit times each at the
                       rate in force (at 9600 bit/s about 1.04 ms a byte, at 115200 87 us),
                       one after the other, in each direction. A byte counts as received once
                       it has crossed, and replies reach the tool no faster than the line
                       carries them, so a flash over the pseudo-terminal takes its real time.
                       On TCP it plays an ECU behind a serial bridge that runs at the ECU's
                       rate. Without --pace the line is as fast as the machine.

Firmware:
  --version TEXT       the version the firmware reports on "mdV" (default 1.0.22; any text,
                       non-numeric ones too).
  --state FILE         keep the firmware and its stored settings in FILE: read at start
                       when it exists, written on "mcs" and when a flashed firmware starts.
                       Without it every start is a factory-fresh ECU.
  --bootloader-only    an ECU with no firmware: only the bootloader answers (so "Man" gets
                       exactly "?Y?") until a firmware is flashed and started with "E".

Fault switches (to see how the tool copes):
  --no-sync            the bootloader never answers "p".
  --refuse-block J[:TIMES]
                       the bootloader refuses block J (counted from 0, word address J*128)
                       the first TIMES times it comes, or every time without TIMES; may be
                       given for several blocks.
  --late-ack J:MS      the bootloader's reply to block J comes MS milliseconds late, once
                       (replies after it wait behind it).
  --stray-ack J        one CR nobody asked for follows the bootloader's reply to block J,
                       once.
  --version-reply TEXT the whole reply to "mdV" (\r, \n, \t and \\ stand for the bytes),
                       for one with an extra line or a greeting in it.
  --version-delay MS   the reply to "mdV" comes MS milliseconds late.
  --greeting TEXT      the reply to "Man" instead of "Hello>\r" (escapes as above).
  --line-end N:TEXT    settings line N (from 0) ends with TEXT instead of CR LF.
  --stored-value N:TEXT
                       once "mcs" has come, settings line N reads TEXT for its value (a
                       read-back that does not parse, such as lcd_c0=ZZ).
  --settings-pause N:MS
                       a pause of MS milliseconds before settings line N.
  --after-bye TEXT     TEXT follows "Bye\r" unasked (a stray greeting, say).
  --framing F          with --pty: the ECU's UART runs at framing F (7E1, 8N2, ...; default
                       8N1); bytes cross only while the tool's terminal has the same framing,
                       as with differing bit rates.
  --boot-ms MS         after "E" the new firmware boots for MS milliseconds (default 300)
                       and takes nothing in meanwhile.
  --greeting-delay MS  "Man" is answered MS milliseconds late.
  --silent-after N     after N bytes received on a connection the ECU takes nothing more
                       in; replies already under way still go out.
  --drop-after N       after N bytes received on a connection the line is cut: the TCP
                       connection is closed, the pseudo-terminal hung up.
  --noise              the line carries nothing the ECU understands: every byte received is
                       answered at once with 8 bytes of noise and none is taken in (another
                       device on the port, or a line at a bit rate neither end uses).
  --settings-gap MS    pause MS milliseconds between two lines of the settings download.
  --erase-ms MS        erasing the flash takes MS milliseconds (default 4 ms per KiB of
                       flash: 512 ms for 128 KiB). The bootloader takes nothing in while it
                       erases: bytes sent meanwhile are lost.
  --flash-kb KB        the chip's flash, 16..128 KiB (default 128); blocks past it are
                       refused.
  --store-ms MS        "mcs" writes the EEPROM for MS milliseconds (default 3.4 ms per slot of
                       the table) and takes nothing in meanwhile.
  --loose-order        the bootloader takes addresses and blocks before "p", "S" and "e"
                       (by default it refuses them with "?", as the chip's does).
  --wild-writes        a write to a slot past the table lands on slot N mod the table's size,
                       as in a firmware that does not check the index (by default it is
                       ignored).
  --odd-name N:TEXT    settings line N (from 0) sends the name TEXT (escapes as above), which
                       may hold "=", TAB, CR or LF as no settings file may.
  --dump-gap N         settings line N is left out of the download (a dump with a gap); may
                       be given several times.
  --settings-lines N   the settings download sends N lines (more than the table holds, and
                       more than 256, is allowed: lines past the table read spare_I=00).
  --no-bye             the firmware ignores "bye" (no "Bye\r", stays in command mode).

Transcript:
  --log FILE           write every chunk that crosses the line to FILE, one line each:
                         <ms> <mode> <kind> <payload>
                       ms: since the start; mode: command, outside or bootloader;
                       kind: rx, tx (payload: the bytes as upper-case hex digits, then as a
                       quoted text); rx-lost (bytes the ECU did not take in: sent while the
                       bit rates differed, after --silent-after / --drop-after, or with
                       --noise); tx-lost
                       (replies lost to differing bit rates or a tool that does not read);
                       ev (what the ECU did):
                         connect PEER | disconnect REASON | rate BPS |
                         set SLOT VALUE NAME | set SLOT VALUE ignored: no such slot |
                         set SLOT VALUE past the table: landed on slot N |
                         store | output-test on|off | output-test HH ignored |
                         output CODE on|off | settings N lines | import N bytes |
                         ignored HEX | ignored while erasing|storing|booting HEX |
                         'C' refused: out of order (p, S, e first) | bye ignored | bootloader divisor D | sync ignored |
                         erase MS ms | address WORD | block J at WORD written |
                         block J at WORD refused: WHY | block J at WORD reply MS ms late |
                         block J at WORD reply followed by a stray CR |
                         flash crc32 HHHHHHHH (of the whole flash, on "E") |
                         firmware VERSION N slots |
                         firmware kept VERSION: ... | firmware broken: WHY |
                         silent | drop | state not written: WHY
                       (numbers in decimal). A chunk that spans a change of mode is split
                       there, each part under its own mode.

The protocol: in command mode "Man" -> "Hello>\r"; "bye" -> "Bye\r" and out of command
mode; "mdV" -> "VIVU v3\n" and the version line ending "\n"; "mcd" -> one "name=HH\r\n"
per slot, then silence; "mcB"+HH, "mttg"+HH+"c"+HH, "mcs", "mde02"/"mde00",
"mdh"+HH (code + 128 switches on) take no reply. Numbers are two upper-case hex digits;
input that is no command is ignored. Outside command mode (after "bye") every byte is
taken as part of an imported settings file until "Man" greets again. "Man" followed at
once by "cb"+HH+"cb" enters the bootloader at the rate of divisor HH (103 9600,
51 19200, 25 38400, 16 57600, 8 115200). Bootloader: "p" -> "S"; "S" -> "AVREFI1";
"a" -> "Y"; "e" erases (after "p" and "S"), "\r" when done; "A"+high+low sets the word address, "\r";
"D","k",0x00, 256 bytes, sum high, sum low, xor high, xor low programs the block at
the address (both sums start at the word address and take the 128 little-endian words)
and answers "\r", or "?" when refused (addresses and blocks only after the erase); "E"
starts the flashed firmware, which boots for --boot-ms before it answers, or leaves the
bootloader in charge when the image did not arrive whole at its place; anything else
gets "?".

make-firmware writes an Intel HEX image that carries a descriptor (a marker, then the
version and the settings table), so that the simulator runs that version and layout once
the image is flashed and started. An image without a descriptor (any other firmware
file, or --no-descriptor) keeps the running version and table. --size pads the image
(default 8192 bytes, at most 131072). The settings FILE holds one setting per line,
either
  name=value              (slot = the line's place among the settings lines), or
  slot<TAB>name<TAB>value (an explicit slot; the format of the tool's settings backups
                           and of default-settings)
with decimal values 0..255; blank lines and lines starting with '#' are skipped.
Without --settings the default table is used.
)";
}

}  // namespace ecusim

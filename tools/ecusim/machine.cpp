#include "machine.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "firmware.h"
#include "platform/convert.h"

namespace ecusim {

const char* modeName(TMode mode) {
    switch (mode) {
    case TMode::Command: return "command";
    case TMode::Outside: return "outside";
    case TMode::Bootloader: return "bootloader";
    }
    return "?";
}

int rateForDivisor(int divisor) {
    switch (divisor) {
    case 103: return 9600;
    case 51: return 19200;
    case 25: return 38400;
    case 16: return 57600;
    case 8: return 115200;
    default: return 1000000 / (divisor + 1);
    }
}

namespace {

bool upperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

enum class TMatch { None, Prefix, Full };

// Compares what has arrived with a command pattern ('#' is one upper-case hex digit).
TMatch match(const std::string& got, const char* pattern) {
    const std::string p = pattern;
    if (got.size() > p.size()) return TMatch::None;
    for (size_t i = 0; i < got.size(); ++i) {
        if (p[i] == '#' ? !upperHexDigit(got[i]) : got[i] != p[i]) return TMatch::None;
    }
    return got.size() == p.size() ? TMatch::Full : TMatch::Prefix;
}

// The two hex digits of a command at `at`.
int hexAt(const std::string& command, size_t at) { return static_cast<int>(hexToInt(command.substr(at, 2))); }

std::string hexText(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) out += hexHH(c);
    return out;
}

}  // namespace

TEcuMachine::TEcuMachine(const TMachineConfig& config, TFirmwareIdentity running, TTranscript& log, TPersist persist)
    : config(config), log(log), persist(std::move(persist)), firmware(std::move(running)),
      flash(static_cast<size_t>(config.flashBytes), 0xFF) {
    for (const auto& s : firmware.slots) live.push_back(s.value);
    for (const auto& r : config.refusals) refusalsLeft.push_back(r.times);
    if (config.bootloaderOnly) {
        mode_ = TMode::Bootloader;  // no firmware in the flash: the bootloader keeps the chip
    } else {
        // The running firmware's own image lies in the flash, so that programming without an
        // erase first spoils it as it would on the chip.
        const auto image = buildImage(firmware, defaultImageSize, true);
        std::copy(image.begin(), image.begin() + static_cast<long>(std::min(image.size(), flash.size())), flash.begin());
    }
}

void TEcuMachine::startConnection() {
    commandBuffer.clear();
    ignored.clear();
    afterGreeting = false;
    importTail.clear();
    bootStep = TBootStep::Idle;
    block.clear();
    outputs.clear();
}

size_t TEcuMachine::receive(const std::string& bytes, int64_t now) {
    size_t taken = 0;
    while (taken < bytes.size()) {
        if (now < busyUntil) {
            // A busy chip reads no UART: the bytes are gone, as on a real line.
            flushIgnored(now);
            event(now, "ignored while " + busyWith + " " + hexText(bytes.substr(taken)));
            return bytes.size();
        }
        const int rateBefore = rate;
        const TMode modeBefore = mode_;
        const char c = bytes[taken++];
        switch (mode_) {
        case TMode::Command: commandByte(c, now); break;
        case TMode::Outside: outsideByte(c, now); break;
        case TMode::Bootloader: bootloaderByte(static_cast<uint8_t>(c), now); break;
        }
        if (rate != rateBefore || mode_ != modeBefore) break;
    }
    flushIgnored(now);
    return taken;
}

int64_t TEcuMachine::nextDueMs() const { return outputs.empty() ? INT64_MAX : outputs.front().dueMs; }

std::string TEcuMachine::takeDue(int64_t now) {
    std::string out;
    while (!outputs.empty() && outputs.front().dueMs <= now) {
        out += outputs.front().bytes;
        outputs.pop_front();
    }
    return out;
}

void TEcuMachine::reply(const std::string& bytes, int64_t now, int delayMs) {
    // Replies leave in the order they were made: one made later never overtakes one that
    // waits (an erase in progress holds back the answers after it).
    const int64_t after = outputs.empty() ? now : std::max(now, outputs.back().dueMs);
    outputs.push_back({after + delayMs, bytes});
}

void TEcuMachine::busy(int64_t now, int ms, const std::string& what) {
    busyUntil = now + ms;
    busyWith = what;
}

bool TEcuMachine::outOfOrder(char command, TBootOrder needed, int64_t now) {
    if (config.looseOrder || bootOrder >= needed) return false;
    event(now, std::string("'") + command + "' refused: out of order (p, S, e first)");
    reply(wire::bootRefused, now);
    return true;
}

void TEcuMachine::setRate(int newRate, int64_t now) {
    rate = newRate;
    event(now, "rate " + std::to_string(rate));
}

// ---- command mode ----

void TEcuMachine::commandByte(char c, int64_t now) {
    commandBuffer += c;
    for (;;) {
        static const char* const patterns[] = {
            wire::greeting,     wire::goodbye,     wire::versionCommand,    wire::settingsCommand,
            wire::storeCommand, wire::ratePattern, wire::writePattern,      wire::outputTestPattern,
            wire::outputPattern};
        bool prefix = false;
        const char* full = nullptr;
        for (const char* p : patterns) {
            const TMatch m = match(commandBuffer, p);
            if (m == TMatch::Full) full = p;
            if (m == TMatch::Prefix) prefix = true;
        }
        if (afterGreeting) {
            const TMatch m = match(commandBuffer, wire::bootloaderPattern);
            if (m == TMatch::Full) full = wire::bootloaderPattern;
            if (m == TMatch::Prefix) prefix = true;
        }
        if (full) {
            const std::string command = commandBuffer;
            commandBuffer.clear();
            execute(command, now);
            return;
        }
        if (prefix || commandBuffer.empty()) return;
        // Nothing starts this way: the first byte is noise, as a firmware would take it.
        ignored += commandBuffer[0];
        commandBuffer.erase(0, 1);
        afterGreeting = false;
    }
}

void TEcuMachine::flushIgnored(int64_t now) {
    if (ignored.empty()) return;
    event(now, "ignored " + hexText(ignored));
    ignored.clear();
}

void TEcuMachine::greet(int64_t now) {
    mode_ = TMode::Command;
    afterGreeting = true;
    reply(config.greetingReply.empty() ? std::string(wire::greetingReply) : config.greetingReply, now,
          config.greetingDelayMs);
}

void TEcuMachine::execute(const std::string& command, int64_t now) {
    flushIgnored(now);
    const bool wasAfterGreeting = afterGreeting;
    afterGreeting = false;
    if (command == wire::greeting) {
        greet(now);
    } else if (wasAfterGreeting && match(command, wire::bootloaderPattern) == TMatch::Full) {
        const int divisor = hexAt(command, 2);
        mode_ = TMode::Bootloader;
        bootStep = TBootStep::Idle;
        bootOrder = TBootOrder::Entered;
        event(now, "bootloader divisor " + std::to_string(divisor));
        setRate(rateForDivisor(divisor), now);
    } else if (command == wire::goodbye) {
        if (config.noBye) {
            event(now, "bye ignored");
            return;
        }
        reply(wire::goodbyeReply, now);
        if (!config.afterBye.empty()) reply(config.afterBye, now);
        mode_ = TMode::Outside;
        importTail.clear();
        importCount = 0;
    } else if (command == wire::versionCommand) {
        reply(config.versionReply.empty() ? std::string(wire::versionFirstLine) + firmware.version + "\n"
                                          : config.versionReply,
              now, config.versionDelayMs);
    } else if (command == wire::settingsCommand) {
        sendSettings(now);
    } else if (command == wire::storeCommand) {
        for (size_t i = 0; i < firmware.slots.size(); ++i) firmware.slots[i].value = live[i];
        const int ms = config.storeMs >= 0 ? config.storeMs
                                           : static_cast<int>(storeMsPerSlot * static_cast<double>(firmware.slots.size()));
        event(now, "store");
        storeSeen = true;
        busy(now, ms, "storing");
        if (persist) persist(firmware);
    } else if (match(command, wire::ratePattern) == TMatch::Full) {
        setRate(rateForDivisor(hexAt(command, 3)), now);
    } else if (match(command, wire::writePattern) == TMatch::Full) {
        const int slot = hexAt(command, 4), value = hexAt(command, 7);
        if (slot < static_cast<int>(live.size())) {
            live[slot] = static_cast<uint8_t>(value);
            event(now, "set " + std::to_string(slot) + " " + std::to_string(value) + " " + firmware.slots[slot].name);
        } else if (config.wildWrites && !live.empty()) {
            // A firmware that does not check the index writes wherever it points.
            const size_t target = static_cast<size_t>(slot) % live.size();
            live[target] = static_cast<uint8_t>(value);
            event(now, "set " + std::to_string(slot) + " " + std::to_string(value) + " past the table: landed on slot " +
                           std::to_string(target));
        } else {
            event(now, "set " + std::to_string(slot) + " " + std::to_string(value) + " ignored: no such slot");
        }
    } else if (match(command, wire::outputTestPattern) == TMatch::Full) {
        const int code = hexAt(command, 3);
        if (code == wire::outputTestOn || code == wire::outputTestOff) {
            outputTestMode = code == wire::outputTestOn;
            event(now, std::string("output-test ") + (outputTestMode ? "on" : "off"));
        } else {
            event(now, "output-test " + hexHH(code) + " ignored");
        }
    } else if (match(command, wire::outputPattern) == TMatch::Full) {
        const int code = hexAt(command, 3);
        const int output = code & ~wire::outputOnFlag;
        const bool on = (code & wire::outputOnFlag) != 0;
        if (on) outputsOn.insert(output);
        else outputsOn.erase(output);
        event(now, "output " + std::to_string(output) + (on ? " on" : " off"));
    }
}

void TEcuMachine::sendSettings(int64_t now) {
    const int count = config.settingsLines < 0 ? static_cast<int>(firmware.slots.size()) : config.settingsLines;
    for (int i = 0; i < count; ++i) {
        if (std::find(config.dumpGaps.begin(), config.dumpGaps.end(), i) != config.dumpGaps.end()) continue;
        std::string line = "spare_" + std::to_string(i) + "=00";  // lines beyond the table
        if (i < static_cast<int>(firmware.slots.size())) {
            std::string name = firmware.slots[i].name;
            for (const auto& [n, text] : config.oddNames)
                if (n == i) name = text;
            line = name + "=" + hexHH(live[i]);
            // A value line damaged once the settings were stored.
            for (const auto& [n, text] : config.storedValues)
                if (n == i && storeSeen) line = name + "=" + text;
        }
        std::string end = wire::settingsLineEnd;
        int gap = i == 0 ? 0 : config.settingsGapMs;
        for (const auto& [n, text] : config.lineEnds)
            if (n == i) end = text;
        for (const auto& [n, ms] : config.settingsPauses)
            if (n == i) gap += ms;
        reply(line + end, now, gap);
    }
    event(now, "settings " + std::to_string(count) + " lines");
}

// ---- outside command mode ----

void TEcuMachine::outsideByte(char c, int64_t now) {
    ++importCount;
    importTail += c;
    if (importTail.size() > 3) importTail.erase(0, importTail.size() - 3);
    if (importTail == wire::greeting) {
        // The greeting's three bytes were taken as part of the file until they were complete.
        event(now, "import " + std::to_string(importCount - 3) + " bytes");
        importTail.clear();
        greet(now);
    }
}

// ---- the bootloader ----

void TEcuMachine::bootloaderByte(uint8_t b, int64_t now) {
    switch (bootStep) {
    case TBootStep::Idle:
        switch (static_cast<char>(b)) {
        case wire::bootSync:
            if (config.noSync) {
                event(now, "sync ignored");
                return;
            }
            bootOrder = std::max(bootOrder, TBootOrder::Synced);
            reply(wire::bootSyncReply, now);
            return;
        case wire::bootIdentify:
            if (bootOrder == TBootOrder::Synced) bootOrder = TBootOrder::Identified;
            reply(wire::bootIdentifyReply, now);
            return;
        case wire::bootAutoIncrement: reply(wire::bootAutoIncrementReply, now); return;
        case wire::bootErase: {
            if (outOfOrder(static_cast<char>(b), TBootOrder::Identified, now)) return;
            bootOrder = TBootOrder::Erased;
            std::fill(flash.begin(), flash.end(), 0xFF);
            const int ms = config.eraseMs >= 0 ? config.eraseMs
                                               : eraseMsPerKiB * static_cast<int>(flash.size() / 1024);
            event(now, "erase " + std::to_string(ms) + " ms");
            reply(wire::bootDone, now, ms);
            busy(now, ms, "erasing");
            return;
        }
        case wire::bootAddress:
            if (outOfOrder(static_cast<char>(b), TBootOrder::Erased, now)) return;
            bootStep = TBootStep::AddressHigh;
            return;
        case wire::bootBlock:
            if (outOfOrder(static_cast<char>(b), TBootOrder::Erased, now)) return;
            bootStep = TBootStep::BlockKind;
            return;
        case wire::bootExit: startFirmware(now); return;
        default: reply(wire::bootRefused, now); return;
        }
    case TBootStep::AddressHigh:
        addressHigh = b;
        bootStep = TBootStep::AddressLow;
        return;
    case TBootStep::AddressLow:
        wordAddress = (addressHigh << 8) | b;
        bootStep = TBootStep::Idle;
        event(now, "address " + std::to_string(wordAddress));
        reply(wire::bootDone, now);
        return;
    case TBootStep::BlockKind:
        bootStep = b == wire::bootBlockKind ? TBootStep::BlockZero : TBootStep::Idle;
        if (bootStep == TBootStep::Idle) {
            event(now, "block refused: kind " + hexHH(b) + " is not 'k'");
            reply(wire::bootRefused, now);
        }
        return;
    case TBootStep::BlockZero:
        bootStep = b == 0 ? TBootStep::BlockData : TBootStep::Idle;
        block.clear();
        if (bootStep == TBootStep::Idle) {
            event(now, "block refused: header byte " + hexHH(b) + " is not 00");
            reply(wire::bootRefused, now);
        }
        return;
    case TBootStep::BlockData:
        block.push_back(b);
        if (block.size() == wire::blockBytes + 4) {
            bootStep = TBootStep::Idle;
            finishBlock(now);
        }
        return;
    }
}

void TEcuMachine::finishBlock(int64_t now) {
    // Both checksums start at the word address and take the block's 128 words, each made of a
    // low byte and the high byte after it.
    uint16_t sum = static_cast<uint16_t>(wordAddress), x = static_cast<uint16_t>(wordAddress);
    for (int k = 0; k < wire::blockWords; ++k) {
        const uint16_t word = static_cast<uint16_t>(block[2 * k] | (block[2 * k + 1] << 8));
        sum = static_cast<uint16_t>(sum + word);
        x ^= word;
    }
    const uint8_t* tail = block.data() + wire::blockBytes;
    const uint16_t gotSum = static_cast<uint16_t>((tail[0] << 8) | tail[1]);
    const uint16_t gotXor = static_cast<uint16_t>((tail[2] << 8) | tail[3]);
    const std::string where = "block " + std::to_string(wordAddress / wire::blockWords) + " at " +
                              std::to_string(wordAddress);
    const int blockNumber = static_cast<int>(wordAddress / wire::blockWords);
    // The reply to this block: late, or followed by a CR nobody asked for (each once).
    int delayMs = 0;
    for (size_t i = 0; i < config.lateAcks.size(); ++i) {
        if (config.lateAcks[i].block != blockNumber || !lateAcksUsed.insert(i).second) continue;
        delayMs = config.lateAcks[i].times;
        event(now, where + " reply " + std::to_string(delayMs) + " ms late");
    }
    std::string after;
    for (size_t i = 0; i < config.strayAcks.size(); ++i) {
        if (config.strayAcks[i] != blockNumber || !strayAcksUsed.insert(i).second) continue;
        after = wire::bootDone;
        event(now, where + " reply followed by a stray CR");
    }
    const auto answer = [&](const char* text) {
        reply(text, now, delayMs);
        if (!after.empty()) reply(after, now);
    };
    for (size_t i = 0; i < config.refusals.size(); ++i) {
        if (config.refusals[i].block != blockNumber || wordAddress % wire::blockWords != 0) continue;
        if (refusalsLeft[i] == 0) continue;
        if (refusalsLeft[i] > 0) --refusalsLeft[i];
        event(now, where + " refused: --refuse-block");
        answer(wire::bootRefused);
        return;
    }
    if (gotSum != sum || gotXor != x) {
        event(now, where + " refused: sum " + std::to_string(gotSum) + " expected " + std::to_string(sum) +
                       ", xor " + std::to_string(gotXor) + " expected " + std::to_string(x));
        answer(wire::bootRefused);
        return;
    }
    const size_t byteAddress = static_cast<size_t>(wordAddress) * 2;
    if (byteAddress + wire::blockBytes > flash.size()) {
        event(now, where + " refused: beyond the flash");
        answer(wire::bootRefused);
        return;
    }
    // Programming can only clear bits; an erase is what sets them again.
    for (int i = 0; i < wire::blockBytes; ++i) flash[byteAddress + i] &= block[i];
    event(now, where + " written");
    wordAddress = (wordAddress + wire::blockWords) & 0xFFFF;
    answer(wire::bootDone);
}

void TEcuMachine::startFirmware(int64_t now) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(crc32(flash.data(), flash.size())));
    event(now, std::string("flash crc32 ") + crc);
    const TImageIdentity found = findIdentity(flash);
    // The chip resets: every UART starts again at its power-on rate.
    if (found.kind == TImageIdentity::Kind::Broken) {
        event(now, "firmware broken: " + found.problem + "; the bootloader keeps the chip");
        bootOrder = TBootOrder::Entered;
        setRate(wire::startRate, now);
        return;
    }
    if (found.kind == TImageIdentity::Kind::Valid) {
        firmware = found.identity;
        event(now, "firmware " + firmware.version + " " + std::to_string(firmware.slots.size()) + " slots");
        if (persist) persist(firmware);
    } else {
        event(now, "firmware kept " + firmware.version + ": the image has no descriptor");
    }
    live.clear();
    for (const auto& s : firmware.slots) live.push_back(s.value);
    mode_ = TMode::Command;
    busy(now, config.bootMs, "booting");
    outputTestMode = false;
    outputsOn.clear();
    commandBuffer.clear();
    afterGreeting = false;
    setRate(wire::startRate, now);
}

}  // namespace ecusim

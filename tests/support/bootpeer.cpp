#include "support/bootpeer.h"

#include "platform/convert.h"

TBootPeer::TBootPeer() {
    for (int i = 0; i < 8; ++i) running.settings.push_back({"set" + std::to_string(i), static_cast<uint8_t>(i)});
    afterFlash = running;
}

std::string TBootPeer::onBytes(const std::string& bytes) {
    received += bytes;
    buffer += bytes;
    return step(false);
}

std::string TBootPeer::idle() { return step(true); }

std::string TBootPeer::step(bool idle) {
    std::string out;
    bool progress = true;
    while (progress && !buffer.empty()) {
        progress = false;
        if (mode == Mode::Bootloader) out += bootloaderCommand(progress);
        else out += firmwareCommand(idle, progress);
    }
    return out;
}

namespace {
bool startsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
// True when `s` is a proper beginning of `p`: more bytes may still make it whole.
bool mayBecome(const std::string& s, const std::string& p) { return s.size() < p.size() && startsWith(p, s); }
}  // namespace

std::string TBootPeer::firmwareCommand(bool idle, bool& progress) {
    if (mode == Mode::Import) {
        const size_t man = buffer.find("Man");
        if (man == std::string::npos) {
            // Keep a possible beginning of "Man" back.
            size_t keep = buffer.size() >= 2 && startsWith("Man", buffer.substr(buffer.size() - 2)) ? 2
                        : !buffer.empty() && buffer.back() == 'M' ? 1 : 0;
            imported += buffer.substr(0, buffer.size() - keep);
            if (buffer.size() > keep) importChunks.push_back(buffer.substr(0, buffer.size() - keep));
            buffer.erase(0, buffer.size() - keep);
            return {};
        }
        imported += buffer.substr(0, man);
        if (man > 0) importChunks.push_back(buffer.substr(0, man));
        buffer.erase(0, man + 3);
        mode = Mode::Firmware;
        commands.push_back("Man");
        progress = true;
        return "Hello>\r";
    }

    auto take = [&](size_t n) {
        std::string c = buffer.substr(0, n);
        buffer.erase(0, n);
        commands.push_back(c);
        progress = true;
        return c;
    };
    if (startsWith(buffer, "Mancb")) {
        if (buffer.size() < 9) return {};
        std::string c = take(9);
        entryCode = c.substr(5, 2);
        mode = Mode::Bootloader;
        return {};
    }
    if (startsWith(buffer, "Man")) {
        if ((buffer.size() == 3 || buffer == "Manc") && !idle) return {};
        take(3);
        if (unansweredHellos > 0) {
            --unansweredHellos;
            return {};
        }
        return bootloaderOnly ? "?Y?" : "Hello>\r";
    }
    if (bootloaderOnly) {
        // A bare bootloader: it knows "S" and its own entry only.
        if (startsWith(buffer, "S")) {
            take(1);
            return "AVREFI1";
        }
        if (startsWith(buffer, "p")) {
            take(1);
            mode = Mode::Bootloader;
            return "S";
        }
        buffer.erase(0, 1);
        progress = true;
        return {};
    }
    if (startsWith(buffer, "bye")) {
        take(3);
        mode = Mode::Import;
        return "Bye\r";
    }
    if (startsWith(buffer, "mdV")) {
        take(3);
        return "VIVU v3\n" + running.version + "\n";
    }
    if (startsWith(buffer, "mcd")) {
        take(3);
        std::string out;
        for (const auto& [name, value] : running.settings) out += name + "=" + hexHH(value) + "\r\n";
        return out;
    }
    if (startsWith(buffer, "mcs")) {
        take(3);
        ++stores;
        return {};
    }
    if (startsWith(buffer, "mcB")) {
        if (buffer.size() >= 5) take(5);
        return {};
    }
    if (startsWith(buffer, "mttg")) {
        if (buffer.size() < 9) return {};
        std::string c = take(9);
        const auto slot = static_cast<int>(hexToInt(c.substr(4, 2)));
        written[slot] = static_cast<uint8_t>(hexToInt(c.substr(7, 2)));
        if (slot < static_cast<int>(running.settings.size())) running.settings[slot].second = written[slot];
        return {};
    }
    if (startsWith(buffer, "mde0")) {
        if (buffer.size() >= 5) take(5);
        return {};
    }
    if (startsWith(buffer, "mdh")) {
        if (buffer.size() >= 5) take(5);
        return {};
    }
    for (const char* known : {"Mancb", "Man", "bye", "mdV", "mcd", "mcs", "mcB", "mttg", "mde0", "mdh"})
        if (mayBecome(buffer, known) && !idle) return {};
    buffer.erase(0, 1);  // noise, as a firmware would ignore it
    progress = true;
    return {};
}

std::string TBootPeer::bootloaderCommand(bool& progress) {
    const char c = buffer[0];
    auto take = [&](size_t n) {
        std::string t = buffer.substr(0, n);
        buffer.erase(0, n);
        commands.push_back(t);
        progress = true;
        return t;
    };
    switch (c) {
    case 'p':
        take(1);
        if (silentSyncs > 0) { --silentSyncs; return {}; }
        return "S";
    case 'S':
        take(1);
        if (silentIdentifies > 0) { --silentIdentifies; return {}; }
        return "AVREFI1";
    case 'e':
        take(1);
        erased = true;
        flash.clear();
        return "\r";
    case 'A': {
        if (buffer.size() < 3) return {};
        std::string t = take(3);
        const int address = static_cast<uint8_t>(t[1]) * 256 + static_cast<uint8_t>(t[2]);
        addresses.push_back(address);
        auto it = silentAddress.find(address / 128);
        if (it != silentAddress.end() && it->second > 0) { --it->second; return {}; }
        return "\r";
    }
    case 'D': {
        const size_t size = 3 + 256 + 4;
        if (buffer.size() < size) return {};
        std::string t = buffer.substr(0, size);
        buffer.erase(0, size);
        progress = true;
        commands.push_back("Dk");
        const int address = addresses.empty() ? 0 : addresses.back();
        uint16_t sum = static_cast<uint16_t>(address), x = static_cast<uint16_t>(address);
        std::vector<uint8_t> data(t.begin() + 3, t.begin() + 3 + 256);
        for (int k = 0; k < 128; ++k) {
            const uint16_t word = static_cast<uint16_t>(data[2 * k] | (data[2 * k + 1] << 8));
            sum = static_cast<uint16_t>(sum + word);
            x ^= word;
        }
        const auto* tail = reinterpret_cast<const uint8_t*>(t.data()) + 3 + 256;
        const uint16_t sentSum = static_cast<uint16_t>(tail[0] << 8 | tail[1]);
        const uint16_t sentXor = static_cast<uint16_t>(tail[2] << 8 | tail[3]);
        const int block = address / 128;
        auto it = refuseBlock.find(block);
        if (t[1] != 'k' || t[2] != 0 || sentSum != sum || sentXor != x ||
            (it != refuseBlock.end() && it->second > 0)) {
            if (it != refuseBlock.end() && it->second > 0) --it->second;
            refusedSums.push_back({block, sentSum});
            return "?";
        }
        flash[block] = data;
        return "\r";
    }
    case 'E':
        take(1);
        if (!firmwareStarts) return {};
        mode = Mode::Firmware;
        running = afterFlash;
        bootloaderOnly = false;
        return {};
    default:
        buffer.erase(0, 1);
        progress = true;
        return {};
    }
}

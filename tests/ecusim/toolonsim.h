#pragma once
// The tool as the app builds it (the real TECU over the real links: a pseudo-terminal as a
// serial port, loopback TCP), pointed at the simulated ECU running as a separate process, and
// what the end-to-end tests read back from the simulator's transcript and state file.

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/realpeers.h"
#include "support/simprocess.h"
#include "support/tempdir.h"

// The settings of a state file by name; its firmware version into `version`.
inline std::map<std::string, int> stateValues(const std::string& path, std::string* version = nullptr) {
    std::ifstream in(path);
    std::map<std::string, int> values;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string slot, name, value;
        std::getline(fields, slot, '\t');
        std::getline(fields, name, '\t');
        std::getline(fields, value);
        if (slot == "version") {
            if (version) *version = name;
        } else if (!name.empty()) {
            values[name] = std::stoi(value);
        }
    }
    return values;
}

inline std::string rxIn(const std::vector<TSimLogLine>& log, const std::string& mode) {
    std::string out;
    for (const auto& l : log)
        if (l.kind == "rx" && l.mode == mode) out += l.bytes;
    return out;
}

inline int countEvents(const std::vector<TSimLogLine>& log, const std::string& text) {
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](auto& l) { return l.kind == "ev" && l.text == text; }));
}

// The tool as the app builds it, pointed at a running simulator.
struct ToolOnSim : ::testing::Test {
    TFakeOperator<TShortPauseClock> fake;
    TTempDir dir;
    std::unique_ptr<TSerialPortsSetting> ports;
    std::unique_ptr<TECU> ecu;

    void overTcp(const TSimProcess& sim) {
        fake.prefs.values = {{"com.Type", "network"}, {"comm.hostname", "127.0.0.1"},
                             {"comm.portnum", std::to_string(sim.port())}};
        build();
    }
    void overPty(const TSimProcess& sim, int rate) {
        ports.reset();  // give the variable back first, then set it anew
        ports = std::make_unique<TSerialPortsSetting>(sim.ptyPath());
        fake.prefs.values = {{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", std::to_string(rate)}};
        build();
    }
    void build() {
        ecu = std::make_unique<TECU>(fake.op, realLinkFactory());
        ecu->backupFolder = dir.path;
    }
    // What the app's online command does.
    bool goOnline() {
        ecu->setOnline(true);
        if (!ecu->isOnline()) return false;
        ecu->setDebugEcho(false);
        return ecu->connect();
    }
    void set(const std::string& name, uint8_t value) {
        const int slot = ecu->settings->findName(name, 0);
        ASSERT_GE(slot, 0) << name;
        ecu->settings->setValue(static_cast<uint8_t>(slot), value);
        ecu->writeSetting(static_cast<uint8_t>(slot));
    }
    std::unique_ptr<TIHexFile> readHex(const std::string& path) {
        auto hex = std::make_unique<TIHexFile>(8192, 1024);
        hex->openFile(path);
        EXPECT_TRUE(hex->readRecords());
        hex->buildImage();
        hex->closeFile();
        return hex;
    }
    std::string makeFirmware(const std::string& version, const std::string& layout) {
        return makeSimFirmware(dir.path, version, layout);
    }
    static void expectNothingLost(const std::vector<TSimLogLine>& log) {
        EXPECT_EQ(joinedBytes(log, "rx-lost"), "") << "the tool sent at a rate the ECU was not at";
        EXPECT_EQ(joinedBytes(log, "tx-lost"), "") << "the tool listened at a rate the ECU was not at";
    }
};

// A later firmware: some names dropped, two moved, one new.
inline const char* newLayout = "fan_hyst=9\nfan_temp=80\nbrand_new=33\nlcd_c0=40\nwbo2_calibration=100\n";

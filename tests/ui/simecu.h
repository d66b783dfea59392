#pragma once
// An ECU object online with the simulated ECU (a separate process on loopback TCP), for the
// windows that work on it directly, and what reached the simulator from them.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/simprocess.h"
#include "support/tempdir.h"

// The simulator's default table with some values changed and some names left out.
struct TSimLayout {
    std::map<std::string, int> values;
    std::set<std::string> without;
    std::vector<std::string> simArgs = {};  // fault switches of the simulator
};

struct TSimEcu {
    explicit TSimEcu(const TSimLayout& layout = {}) {
        std::vector<std::string> args;
        if (!layout.values.empty() || !layout.without.empty()) args = {"--state", writeState(layout)};
        args.insert(args.end(), layout.simArgs.begin(), layout.simArgs.end());
        sim = std::make_unique<TSimProcess>(simTcp(args));
        ecu = std::make_unique<TECU>(fake.op, realLinkFactory());
        ecu->useNetworkLink("127.0.0.1", sim->port());
        ecu->setOnline(true);
        connected = ecu->connect();
    }

    // What the ECU did since the last call, in order: "set SLOT VALUE NAME", "store",
    // "output CODE on|off", "output-test on". A marker command sent after everything else
    // shows that all of it has arrived.
    std::vector<std::string> events() {
        ecu->link->sendString(ecu_protocol::outputTestOff);
        ecu->link->flush();
        ++markers;
        auto markersSeen = [&] {
            const auto all = simEvents(sim->transcript());
            return static_cast<int>(std::count(all.begin(), all.end(), std::string("output-test off")));
        };
        EXPECT_TRUE(sim->waitForLog([&](const TSimLogLine&) { return markersSeen() >= markers; }));
        const auto all = simEvents(sim->transcript());
        std::vector<std::string> out;
        for (size_t i = seen; i < all.size(); ++i) {
            const std::string& e = all[i];
            if (e.rfind("set ", 0) == 0 || e == "store" || e.rfind("output ", 0) == 0 || e == "output-test on")
                out.push_back(e);
        }
        seen = all.size();
        return out;
    }
    // The event a write of `value` to the setting `name` makes.
    std::string set(const std::string& name, int value) const {
        return "set " + std::to_string(ecu->settings->findName(name, 0)) + " " + std::to_string(value) + " " + name;
    }
    int value(const std::string& name) const { return ecu->settings->getValue(ecu->settings->findName(name, 0)); }

    TTempDir dir;
    TFakeOperator<TSimPauseClock> fake;
    std::unique_ptr<TSimProcess> sim;
    std::unique_ptr<TECU> ecu;
    bool connected = false;

private:
    std::string writeState(const TSimLayout& layout) {
        const TProgramResult table = runProgram({ecusimProgram(), "default-settings"});
        std::istringstream lines(table.out);
        std::string text = "version\t1.0.22\n", line;
        while (std::getline(lines, line)) {
            const size_t a = line.find('\t'), b = line.rfind('\t');
            if (a == std::string::npos || a == b) continue;
            const std::string name = line.substr(a + 1, b - a - 1);
            if (layout.without.count(name)) continue;
            const auto changed = layout.values.find(name);
            text += name + "=" + (changed != layout.values.end() ? std::to_string(changed->second) : line.substr(b + 1)) +
                    "\n";
        }
        const std::string path = dir.path + "/state";
        std::ofstream(path) << text;
        return path;
    }
    int markers = 0;
    size_t seen = 0;
};

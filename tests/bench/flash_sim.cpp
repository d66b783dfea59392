// The conversation's speed against the simulated ECU, run as its own process (veltrace-ecusim):
//
//   FlashOverTcp         a 131072-byte image (512 blocks) over loopback TCP: the whole update,
//                        and its bootloader part, from the entry text to the "E" that leaves it
//   FlashOverPacedPty    the same over a pseudo-terminal with --pace at 115200 bit/s, where the
//                        line sets the pace; the bootloader part against the line time of its
//                        blocks (512 × 266 bytes out, 512 × 2 acknowledgements back: 137 216
//                        bytes, about 11.9 s)
//   ConnectOverPty/P     going online over a pseudo-terminal (219 settings, 57600 bit/s stored),
//                        P=1 paced
//   ConnectOverTcp       going online over loopback TCP
//
// The simulated flash erases at once (--erase-ms 0): the figures are the link's and the tool's.
// Run by hand, e.g. build/tests/bench_flash_sim --benchmark_filter=Tcp. Each iteration starts a
// fresh simulator, outside the timing.
//
// How many send calls a block costs is counted outside, with strace on the command-line front,
// so that only the tool's calls count (the simulator's replies are calls too):
// tests/bench/send_calls.sh.

#include <benchmark/benchmark.h>

#include <chrono>
#include <mutex>
#include <optional>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/realpeers.h"
#include "support/simprocess.h"
#include "support/tempdir.h"

namespace {

constexpr int imageBytes = 131072;
constexpr int blocks = imageBytes / 256;
// What crosses the line for one block: address (3), "Dk" and 0 (3), 256 data and 4 check bytes
// out; the address's and the block's acknowledgements back.
constexpr int lineBytesPerBlock = 3 + 3 + 256 + 4 + 2;
constexpr int pacedRate = 115200;
constexpr int connectRate = 57600;

// The progress dialog, noting when each status text was set: the settings backup is reported
// right before the bootloader's entry text goes out, "Resetting ECU..." right before its "E".
class TTimedProgress : public TProgress {
public:
    using TClockPoint = std::chrono::steady_clock::time_point;
    void setCaption(const std::string&) override {}
    void setStatusText(const std::string& text) override {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (text.rfind("Settings backed up", 0) == 0) entry = now;
        if (text == "Resetting ECU...") leave = now;
    }
    void setPosition(int p) override { position = p; }
    int getPosition() override { return position; }
    void show() override {}
    void hide() override {}
    void close() override {}
    // Seconds from the entry text to the "E"; negative when either was not seen.
    double bootloaderSeconds() const {
        std::lock_guard<std::mutex> lock(mutex);
        if (entry == TClockPoint{} || leave == TClockPoint{}) return -1;
        return std::chrono::duration<double>(leave - entry).count();
    }

private:
    mutable std::mutex mutex;
    TClockPoint entry, leave;
    int position = 0;
};

struct TBenchOperator {
    TTimedProgress progress;
    TRecordingLog log;
    TRecordingWindow window;
    TMemoryPreferences prefs;
    TSystemClock clock;
    TOperator op{progress, log, window, prefs, clock};
};

void fillLargestImage(TIHexFile& image) {
    image.image.resize(imageBytes);
    for (size_t i = 0; i < image.image.size(); ++i) image.image[i] = static_cast<uint8_t>(i * 31);
    image.imageSize = image.extent = image.dataBytes = imageBytes;
}

TSimConfig quietSim(TSimConfig config) {
    config.log = false;  // a transcript line per chunk would slow the simulator down
    return config;
}

void networkPrefs(TBenchOperator& b, const TSimProcess& sim) {
    b.prefs.values = {{"com.Type", "network"}, {"comm.hostname", sim.host()},
                      {"comm.portnum", std::to_string(sim.port())}};
}

void serialPrefs(TBenchOperator& b, int rate) {
    b.prefs.values = {{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", std::to_string(rate)}};
}

// One firmware update per iteration on a freshly connected ECU; `pty` takes the paced line.
void flash(benchmark::State& state, bool pty) {
    TIHexFile image(1, 1);
    fillLargestImage(image);
    TTempDir dir;
    double bootloader = 0;
    for (auto _ : state) {
        state.PauseTiming();
        TSimProcess sim(quietSim(pty ? simPty({"--pace", "--erase-ms", "0"}) : simTcp({"--erase-ms", "0"})));
        std::optional<TSerialPortsSetting> ports;
        if (pty) ports.emplace(sim.ptyPath());
        TBenchOperator b;
        if (pty) serialPrefs(b, pacedRate);
        else networkPrefs(b, sim);
        TECU ecu(b.op, realLinkFactory());
        ecu.backupFolder = dir.path;
        ecu.setOnline(true);
        if (!ecu.connect() || ecu.settings->getName(0).empty()) {
            state.SkipWithError("no connection to the simulator");
            break;
        }
        state.ResumeTiming();

        const bool done = ecu.flashFirmware(image);

        state.PauseTiming();
        const double part = b.progress.bootloaderSeconds();
        ecu.setOnline(false);
        if (!done || part < 0) {
            state.SkipWithError("the flash did not complete");
            break;
        }
        bootloader += part;
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["bootloader_s"] = bootloader / n;
    if (pty) {
        const double line = blocks * lineBytesPerBlock * 10.0 / pacedRate;
        state.counters["line_s"] = line;
        state.counters["bootloader_per_line"] = bootloader / n / line;
    }
}

void connect(benchmark::State& state, bool pty, bool paced) {
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::string> args;
        if (paced) args.push_back("--pace");
        TSimProcess sim(quietSim(pty ? simPty(args) : simTcp(args)));
        std::optional<TSerialPortsSetting> ports;
        if (pty) ports.emplace(sim.ptyPath());
        TBenchOperator b;
        if (pty) serialPrefs(b, connectRate);
        else networkPrefs(b, sim);
        TECU ecu(b.op, realLinkFactory());
        ecu.setOnline(true);
        state.ResumeTiming();

        const bool connected = ecu.connect();

        state.PauseTiming();
        const bool whole = ecu.settings->getName(218) != "" && ecu.settings->getName(219) == "";
        ecu.setOnline(false);
        if (!connected || !whole) {
            state.SkipWithError("the connect did not read the 219 settings");
            break;
        }
        state.ResumeTiming();
    }
}

}  // namespace

static void FlashOverTcp(benchmark::State& state) { flash(state, false); }
BENCHMARK(FlashOverTcp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

static void FlashOverPacedPty(benchmark::State& state) { flash(state, true); }
BENCHMARK(FlashOverPacedPty)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

static void ConnectOverPty(benchmark::State& state) { connect(state, true, state.range(0) != 0); }
BENCHMARK(ConnectOverPty)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

static void ConnectOverTcp(benchmark::State& state) { connect(state, false, false); }
BENCHMARK(ConnectOverTcp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();

// Verified writes over loopback TCP, end to end: veltrace-cli as its own process against the
// simulated ECU, each command going online, writing, storing and reading the table back.
//
//   SetStoreOverTcp   `set fan_temp V --store`
//   RestoreOverTcp    `restore` of a backup of all 219 settings
//
// Run by hand: build/tests/bench_writes_tcp. Each iteration starts a fresh simulator, outside
// the timing.

#include <benchmark/benchmark.h>

#include <fstream>

#include "support/simprocess.h"
#include "support/tempdir.h"

namespace {

void cliOverTcp(benchmark::State& state, bool restore) {
    TTempDir dir;
    const TProgramResult table = runProgram({ecusimProgram(), "default-settings"});
    const std::string backup = dir.path + "/all.txt";
    std::ofstream(backup) << table.out;
    for (auto _ : state) {
        state.PauseTiming();
        TSimConfig config = simTcp();
        config.log = false;
        TSimProcess sim(config);
        std::vector<std::string> argv{"/usr/bin/env", "HOME=" + dir.path, "XDG_CONFIG_HOME=" + dir.path + "/cfg",
                                      VELTRACE_CLI_PATH, "--network",
                                      sim.host() + ":" + std::to_string(sim.port()), "--quiet"};
        if (restore) argv.insert(argv.end(), {"restore", backup});
        else argv.insert(argv.end(), {"set", "fan_temp", "90", "--store"});
        state.ResumeTiming();

        const TProgramResult r = runProgram(argv, 30000);

        if (r.exitCode != 0) {
            state.SkipWithError(r.err.c_str());
            break;
        }
    }
}

}  // namespace

static void SetStoreOverTcp(benchmark::State& state) { cliOverTcp(state, false); }
BENCHMARK(SetStoreOverTcp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

static void RestoreOverTcp(benchmark::State& state) { cliOverTcp(state, true); }
BENCHMARK(RestoreOverTcp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();

// How long a whole firmware update takes over loopback TCP against the scripted ECU: the
// largest image (131072 bytes, 512 blocks), each byte of a block sent on its own.

#include <benchmark/benchmark.h>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/peerthread.h"
#include "support/realpeers.h"
#include "support/tempdir.h"

static void FlashLargestImageOverTcp(benchmark::State& state) {
    TIHexFile image(1, 1);
    image.image.resize(131072);
    for (size_t i = 0; i < image.image.size(); ++i) image.image[i] = static_cast<uint8_t>(i * 31);
    image.imageSize = image.extent = image.dataBytes = 131072;
    TTempDir dir;
    for (auto _ : state) {
        state.PauseTiming();
        TFakeOperator<TSystemClock> fake;
        TBootPeer peer;
        TLoopbackServer server;
        fake.prefs.values = {{"com.Type", "network"}, {"comm.hostname", "127.0.0.1"},
                             {"comm.portnum", std::to_string(server.port)}};
        TPeerThread thread(peer, [&] { return server.accept(5000); });
        TECU ecu(fake.op, realLinkFactory());
        ecu.backupFolder = dir.path;
        ecu.setOnline(true);
        ecu.settings->setEntry("set0", 1, 0);
        state.ResumeTiming();

        const bool done = ecu.flashFirmware(image);

        state.PauseTiming();
        ecu.setOnline(false);
        thread.stop();
        if (!done || peer.flash.size() != 512) state.SkipWithError("the flash did not complete");
        state.ResumeTiming();
    }
    state.counters["bytes"] = 131072;
}
BENCHMARK(FlashLargestImageOverTcp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();

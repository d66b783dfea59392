// What a link costs while it waits for the ECU, and how quickly it hands out a byte that arrives.
//
//   SerialSilentWait / NetworkSilentWait: readByte waits 10 s on a silent pty / socket; the
//     counter cpu_percent is the CPU time the process used meanwhile, as a share of one core.
//   SerialByteLatency / NetworkByteLatency: a peer thread sends single bytes at random moments;
//     the counters give the delay from just before the byte is written to the moment readByte
//     returns it, in microseconds.

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "link/serialcommunicator.h"
#include "link/socketcommunicator.h"
#include "support/fakes.h"
#include "support/realpeers.h"

namespace {

constexpr int silentWaitMs = 10000;
constexpr int latencySamples = 200;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs `wait` and reports the CPU share it used.
template <class Wait>
void measureSilence(benchmark::State& state, Wait wait) {
    for (auto _ : state) {
        const double cpu0 = cpuSeconds();
        const int64_t t0 = nowNs();
        wait();
        const double wall = static_cast<double>(nowNs() - t0) / 1e9;
        const double cpu = cpuSeconds() - cpu0;
        state.counters["wait_s"] = wall;
        state.counters["cpu_ms"] = cpu * 1e3;
        state.counters["cpu_percent"] = 100.0 * cpu / wall;
    }
}

// A peer sends one byte at a random moment per sample; the reader times each hand-out.
template <class Send, class Read>
void measureLatency(benchmark::State& state, Send send, Read read) {
    for (auto _ : state) {
        std::atomic<int64_t> sentAt{0};
        std::atomic<bool> ready{false};
        std::vector<double> micros;
        std::thread peer([&] {
            std::mt19937 rng(42);
            std::uniform_int_distribution<int> pause(1000, 4000);
            for (int i = 0; i < latencySamples; ++i) {
                while (!ready.exchange(false)) std::this_thread::sleep_for(std::chrono::microseconds(100));
                std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
                sentAt = nowNs();
                send();
            }
        });
        for (int i = 0; i < latencySamples; ++i) {
            ready = true;
            if (read() < 0) {
                state.SkipWithError("a byte did not arrive");
                break;
            }
            micros.push_back(static_cast<double>(nowNs() - sentAt.load()) / 1e3);
        }
        peer.join();
        if (micros.empty()) continue;
        std::sort(micros.begin(), micros.end());
        double sum = 0;
        for (double m : micros) sum += m;
        state.counters["mean_us"] = sum / static_cast<double>(micros.size());
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
        state.counters["max_us"] = micros.back();
    }
}

struct TSerialSetup {
    TPty pty;
    TSerialPortsSetting ports{pty.path};
    TFakeOperator<TSystemClock> fake;
    TSerialCommunicator link{fake.op};
    TSerialSetup() { link.setActive(true); }
};

struct TNetworkSetup {
    TLoopbackServer server;
    TFakeOperator<TSystemClock> fake;
    TSocketCommunicator link{fake.op};
    int peer = -1;
    TNetworkSetup() {
        link.setPort("127.0.0.1");
        link.setBaudRate(server.port);
        link.setActive(true);
        peer = server.accept();
    }
    ~TNetworkSetup() { ::close(peer); }
};

void SerialSilentWait(benchmark::State& state) {
    TSerialSetup s;
    if (!s.link.isActive()) return state.SkipWithError("the pty did not open");
    s.link.timeout = silentWaitMs;
    measureSilence(state, [&] { benchmark::DoNotOptimize(s.link.readByte()); });
}

void NetworkSilentWait(benchmark::State& state) {
    TNetworkSetup s;
    if (!s.link.isActive()) return state.SkipWithError("no connection");
    // The network link waits its own 2.5 s per read, whatever `timeout` says: four of them.
    const int reads = silentWaitMs / (s.link.readTimeout * 10);
    measureSilence(state, [&] {
        for (int i = 0; i < reads; ++i) benchmark::DoNotOptimize(s.link.readByte());
    });
}

void SerialByteLatency(benchmark::State& state) {
    TSerialSetup s;
    if (!s.link.isActive()) return state.SkipWithError("the pty did not open");
    s.link.timeout = 5000;
    measureLatency(state, [&] { writeAll(s.pty.master, "U"); }, [&] { return s.link.readByte(); });
}

void NetworkByteLatency(benchmark::State& state) {
    TNetworkSetup s;
    if (!s.link.isActive()) return state.SkipWithError("no connection");
    measureLatency(state, [&] { writeAll(s.peer, "U"); }, [&] { return s.link.readByte(); });
}

}  // namespace

BENCHMARK(SerialSilentWait)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(NetworkSilentWait)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SerialByteLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(NetworkByteLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

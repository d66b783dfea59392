// What the debug log window costs while it keeps up with the traffic echo, on Qt's offscreen
// platform unless QT_QPA_PLATFORM names another.
//
//   Traffic: one session's echo into a shown window: 1 000 expect lines (each starts lines and
//     lets the GUI handle its events, repaints included), each followed by 20 one-byte fragments
//     in the sent and received colours: 20 000 fragments and 1 000 lines per iteration.
//   AppendToGrownLog/N: the cost of one session like the above when the log already holds
//     N thousand lines (a session adds 3 000); flat across N when appending does not depend on
//     the log's length.

#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdlib>
#include <string>

#include "ui/debug.h"

namespace {

constexpr int linesPerSession = 1000;
constexpr int bytesPerLine = 20;

void session(TDebugDlg& dlg) {
    for (int line = 0; line < linesPerSession; ++line) {
        dlg.appendText("\rExpect: Hello>\r", expectedColor);
        for (int b = 0; b < bytesPerLine; ++b)
            dlg.appendText(std::string(1, static_cast<char>('A' + b)), b % 2 ? receivedColor : sentColor);
    }
}

void Traffic(benchmark::State& state) {
    TDebugDlg dlg;
    dlg.show();
    for (auto _ : state) {
        state.PauseTiming();
        dlg.clearLog();
        QApplication::processEvents();
        state.ResumeTiming();
        session(dlg);
    }
    state.counters["fragments"] = linesPerSession * (bytesPerLine + 1);
}
BENCHMARK(Traffic)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void AppendToGrownLog(benchmark::State& state) {
    TDebugDlg dlg;
    dlg.show();
    for (int64_t i = 0; i < state.range(0) / 3; ++i) session(dlg);
    QApplication::processEvents();
    for (auto _ : state) session(dlg);
}
BENCHMARK(AppendToGrownLog)->Arg(0)->Arg(90)->Arg(360)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

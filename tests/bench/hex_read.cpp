// Time to read a firmware file of a full 131072-byte image (16-byte records) the way the main
// window does: construct with 8192 / 1024, openFile, readRecords, buildImage, closeFile.

#include <benchmark/benchmark.h>

#include <memory>

#include "data/ihexfile.h"
#include "support/hextext.h"
#include "support/tempdir.h"

namespace {

constexpr uint32_t imageBytes = 131072;
constexpr size_t recordBytes = 16;

// The file as a linker writes it: a segment record per 64 KiB, CR LF ends, an end record.
std::string firmwareText() {
    std::string text;
    std::vector<uint8_t> data(recordBytes);
    for (uint32_t address = 0; address < imageBytes; address += recordBytes) {
        if (address % 0x10000 == 0) text += segmentLine(static_cast<uint16_t>(address >> 4)) + "\r\n";
        for (size_t i = 0; i < recordBytes; ++i) data[i] = static_cast<uint8_t>((address + i) * 7);
        text += hexLine(0, static_cast<uint16_t>(address & 0xFFFF), data) + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

void BM_ReadFirmwareHex(benchmark::State& state) {
    TTempDir dir;
    const std::string text = firmwareText();
    const std::string file = writeFile(dir.path, "firmware.hex", text);
    for (auto _ : state) {
        TIHexFile hex(8192, 1024);
        hex.openFile(file);
        if (!hex.readRecords() || !hex.buildImage() || hex.imageSize != imageBytes) {
            state.SkipWithError("the firmware file did not load");
            break;
        }
        hex.closeFile();
        benchmark::DoNotOptimize(hex.image.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["file_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadFirmwareHex)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

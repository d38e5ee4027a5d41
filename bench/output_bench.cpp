// The two output paths next to their floors: the same sequence of spool
// writes, with the same sizes, made from a buffer prepared in advance.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "oemdll/capture/band_capture.h"
#include "oemdll/capture/hooks.h"
#include "oemdll/output/emission.h"
#include "oemdll/output/row_command.h"

namespace {

constexpr DWORD kFilterBlock = 1u << 20;

std::vector<BYTE> FilterBlock() {
    std::vector<BYTE> block(kFilterBlock);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<BYTE>(i * 37 + 11);
    return block;
}

void BM_FilterGraphics(benchmark::State& state) {
    bench::PluginDevice dev;
    std::vector<BYTE> block = FilterBlock();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dev.plugin->FilterGraphics(&dev.devobj, block.data(), kFilterBlock));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFilterBlock);
    state.counters["writes/iter"] = double(dev.helper.writeCount) / double(state.iterations());
}
BENCHMARK(BM_FilterGraphics);

// The floor: every command of the block built beforehand, then written
// with the same calls through the same helper.
void BM_FilterGraphicsFloor(benchmark::State& state) {
    bench::PluginDevice dev;
    std::vector<BYTE> block = FilterBlock();
    std::vector<BYTE> prepared;
    std::vector<DWORD> sizes;
    for (DWORD pos = 0; pos < kFilterBlock; pos += 48) {
        const DWORD k = kFilterBlock - pos < 48 ? kFilterBlock - pos : 48;
        const BYTE header[8] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, BYTE((8 * k) & 0xFF), BYTE((8 * k) >> 8)};
        prepared.insert(prepared.end(), header, header + 8);
        prepared.insert(prepared.end(), block.begin() + pos, block.begin() + pos + k);
        sizes.push_back(k + 8);
    }
    // Called through the interface, as the plug-in calls it: laundered so
    // that the compiler cannot bind the call to the known helper.
    IPrintOemDriverUni* helper = &dev.helper;
    benchmark::DoNotOptimize(helper);
    for (auto _ : state) {
        BYTE* at = prepared.data();
        for (DWORD size : sizes) {
            DWORD written = 0;
            helper->DrvWriteSpoolBuf(&dev.devobj, at, size, &written);
            benchmark::DoNotOptimize(written);
            at += size;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFilterBlock);
}
BENCHMARK(BM_FilterGraphicsFloor);

constexpr LONG kEmitRows = 100000;

// A 384-dot image whose rows all hold ink, so that every row is sent.
std::vector<BYTE> EmitImage() {
    std::vector<BYTE> image(static_cast<size_t>(kEmitRows) * 48);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<BYTE>(i * 13 + 7) | 0x01;
    for (size_t i = 0; i < image.size(); i += 48) image[i] = 0x00;
    return image;
}

// The emission itself, on an image held in advance.
void BM_EmitMonoImage(benchmark::State& state) {
    bench::PluginDevice dev;
    std::vector<BYTE> image = EmitImage();
    for (auto _ : state) {
        EmitMonoImage(&dev.devobj, image.data(), static_cast<DWORD>(image.size()), 384, kEmitRows);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kEmitRows);
    state.counters["writes/iter"] = double(dev.spool.calls) / double(state.iterations());
}
BENCHMARK(BM_EmitMonoImage)->Unit(benchmark::kMillisecond);

// The whole hook: emission, then the release of the captured image.
void BM_EndOfDocument(benchmark::State& state) {
    bench::PluginDevice dev;
    std::vector<BYTE> image = EmitImage();
    for (auto _ : state) {
        state.PauseTiming();
        BITMAPINFOHEADER header = bench::MonoBandHeader(384, kEmitRows, 48);
        IPPARAMS params{};
        PBYTE result = nullptr;
        dev.plugin->ImageProcessing(&dev.devobj, image.data(), &header, nullptr, 1, &params, &result);
        state.ResumeTiming();
        benchmark::DoNotOptimize(DrvEndDoc(&dev.surface.surface, 0));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kEmitRows);
    state.counters["writes/iter"] = double(dev.spool.calls) / double(state.iterations());
}
BENCHMARK(BM_EndOfDocument)->Unit(benchmark::kMillisecond);

void BM_EndOfDocumentFloor(benchmark::State& state) {
    bench::PluginDevice dev;
    std::vector<BYTE> image = EmitImage();
    std::vector<BYTE> prepared;
    for (LONG r = 0; r < kEmitRows; ++r) {
        const BYTE header[8] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, 0x80, 0x01};
        prepared.insert(prepared.end(), header, header + 8);
        for (int i = 0; i < 48; ++i) prepared.push_back(static_cast<BYTE>(~image[static_cast<size_t>(r) * 48 + i]));
    }
    PDEVOBJ pdevobj = &dev.devobj;
    benchmark::DoNotOptimize(pdevobj);
    for (auto _ : state) {
        BYTE* at = prepared.data();
        for (LONG r = 0; r < kEmitRows; ++r, at += 56) pdevobj->pDrvProcs->DrvWriteSpoolBuf(pdevobj, at, 56);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kEmitRows);
}
BENCHMARK(BM_EndOfDocumentFloor)->Unit(benchmark::kMillisecond);

}  // namespace

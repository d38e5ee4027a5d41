// Band capture of whole documents, next to the floor of one allocation and
// one copy of the same bytes, and next to the allocate-and-copy growth that
// capture once had (kept here only as the reference).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "oemdll/capture/band_capture.h"
#include "oemdll/host/services.h"
#include "platform/linux/faults.h"

namespace {

struct Layout {
    LONG width, height, bandRows;
};
constexpr Layout kReceipt = {384, 2000, 256};    // a 384-dot page of 2,000 rows
constexpr Layout kLetter = {5100, 6600, 64};     // letter size at 600 dpi

LONG Stride(LONG width) { return ((width + 31) / 32) * 4; }

struct Bands {
    explicit Bands(const Layout& layout) : stride(Stride(layout.width)) {
        pixels.resize(static_cast<size_t>(stride) * layout.bandRows);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<BYTE>(i * 7 + 3);
        for (LONG top = 0; top < layout.height; top += layout.bandRows)
            rows.push_back(layout.height - top < layout.bandRows ? layout.height - top : layout.bandRows);
    }
    LONG stride;
    std::vector<BYTE> pixels;
    std::vector<LONG> rows;  // the rows of each band of one page
};

const Layout& LayoutOf(const benchmark::State& state) { return state.range(1) == 0 ? kReceipt : kLetter; }

double MiB(std::uint64_t bytes) { return double(bytes) / (1024.0 * 1024.0); }

void Report(benchmark::State& state, std::uint64_t bytesPerDocument, std::uint64_t peak) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytesPerDocument));
    state.counters["peak_MiB"] = MiB(peak);
    state.counters["doc_MiB"] = MiB(bytesPerDocument);
}

void BM_Capture(benchmark::State& state) {
    const Layout& layout = LayoutOf(state);
    const auto pages = state.range(0);
    Bands bands(layout);
    bench::PluginDevice dev;
    std::uint64_t bytes = 0, peak = 0, committed = 0;
    for (auto _ : state) {
        faults::ResetPeakCommittedBytes();
        for (int64_t p = 0; p < pages; ++p) {
            for (LONG rows : bands.rows) {
                BITMAPINFOHEADER header = bench::MonoBandHeader(layout.width, rows, bands.stride);
                IPPARAMS params{};
                PBYTE result = nullptr;
                dev.plugin->ImageProcessing(&dev.devobj, bands.pixels.data(), &header, nullptr, 1, &params, &result);
            }
        }
        bytes = dev.device()->imageSize;
        committed = static_cast<std::uint64_t>(faults::CommittedBytes());
        peak = static_cast<std::uint64_t>(faults::PeakCommittedBytes());
        state.PauseTiming();
        ReleaseImage(dev.device());
        state.ResumeTiming();
    }
    Report(state, bytes, peak);
    // What is committed when the document ends, beyond the image itself.
    state.counters["over_KiB"] = double(committed - bytes) / 1024.0;
}

// The floors' one copy of every band of the document into `image`.
void CopyDocument(BYTE* image, const Bands& bands, int64_t pages) {
    size_t offset = 0;
    for (int64_t p = 0; p < pages; ++p) {
        for (LONG rows : bands.rows) {
            const size_t n = static_cast<size_t>(bands.stride) * rows;
            std::memcpy(image + offset, bands.pixels.data(), n);
            offset += n;
        }
    }
}

// One allocation of the whole document and one copy of every band.
void BM_CaptureFloor(benchmark::State& state) {
    const Layout& layout = LayoutOf(state);
    const auto pages = state.range(0);
    Bands bands(layout);
    const size_t total = static_cast<size_t>(bands.stride) * layout.height * static_cast<size_t>(pages);
    for (auto _ : state) {
        auto* image = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, total));
        CopyDocument(image, bands, pages);
        benchmark::DoNotOptimize(image);
        LocalFree(image);
    }
    Report(state, total, total);
}

// The floor in fresh pages that go back when the document ends, as the
// image's do: one reservation of the whole document, committed at once.
void BM_CaptureFreshFloor(benchmark::State& state) {
    const Layout& layout = LayoutOf(state);
    const auto pages = state.range(0);
    Bands bands(layout);
    const size_t total = static_cast<size_t>(bands.stride) * layout.height * static_cast<size_t>(pages);
    for (auto _ : state) {
        auto* image = static_cast<BYTE*>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        CopyDocument(image, bands, pages);
        benchmark::DoNotOptimize(image);
        VirtualFree(image, 0, MEM_RELEASE);
    }
    Report(state, total, total);
}

// The growth capture once had: a new block of the full size and a copy of
// all captured so far, for every band.
void BM_CaptureAllocateAndCopy(benchmark::State& state) {
    const Layout& layout = LayoutOf(state);
    const auto pages = state.range(0);
    Bands bands(layout);
    std::uint64_t bytes = 0, peak = 0;
    for (auto _ : state) {
        faults::ResetPeakLocalBytes();
        const std::uint64_t base = faults::LiveLocalBytes();
        BYTE* image = nullptr;
        size_t size = 0;
        for (int64_t p = 0; p < pages; ++p) {
            for (LONG rows : bands.rows) {
                const size_t n = static_cast<size_t>(bands.stride) * rows;
                auto* grown = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, size + n));
                if (image) {
                    std::memcpy(grown, image, size);
                    LocalFree(image);
                }
                std::memcpy(grown + size, bands.pixels.data(), n);
                image = grown;
                size += n;
            }
        }
        bytes = size;
        peak = faults::PeakLocalBytes() - base;
        LocalFree(image);
    }
    Report(state, bytes, peak);
}

void Pages(benchmark::internal::Benchmark* b, bool reference) {
    // The quadratic reference would take minutes on the largest documents.
    for (int64_t pages : {1, 10, 100, 1000}) {
        if (reference && pages > 100) continue;
        b->Args({pages, 0});
    }
    for (int64_t pages : {1, 5, 20}) {
        if (reference && pages > 5) continue;
        b->Args({pages, 1});
    }
    b->ArgNames({"pages", "letter"})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
}

BENCHMARK(BM_Capture)->Apply([](benchmark::internal::Benchmark* b) { Pages(b, false); });
BENCHMARK(BM_CaptureFloor)->Apply([](benchmark::internal::Benchmark* b) { Pages(b, false); });
BENCHMARK(BM_CaptureFreshFloor)->Apply([](benchmark::internal::Benchmark* b) { Pages(b, false); });
BENCHMARK(BM_CaptureAllocateAndCopy)->Apply([](benchmark::internal::Benchmark* b) { Pages(b, true); });

}  // namespace

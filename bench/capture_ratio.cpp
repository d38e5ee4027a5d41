// Band capture in the Windows build, timed against the floor of one
// allocation and one copy (from the heap, and in fresh pages) and against
// allocate-and-copy growth, all in one run, with the memory committed for
// the image when the document ends.
// Google Benchmark is not built for mingw here, so this takes the best of
// several rounds with the steady clock and prints the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "bench/bench_support.h"
#include "oemdll/capture/band_capture.h"
#include "oemdll/host/services.h"
#include "tests/support/committed.h"

namespace {

struct Layout {
    const char* name;
    LONG width, height, bandRows;
    std::vector<int> pages;
    int referenceUpTo;  // the quadratic reference takes minutes beyond this
};

double BestMs(int rounds, const std::function<void()>& run) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main() {
    const Layout layouts[] = {{"receipt", 384, 2000, 256, {1, 10, 100, 1000}, 100},
                              {"letter 600 dpi", 5100, 6600, 64, {1, 5, 20}, 5}};
    std::printf("%d-bit build\n", static_cast<int>(sizeof(void*) * 8));
    std::printf("%-16s %6s %9s %12s %12s %10s %12s %10s %12s %13s\n", "page", "pages", "doc MiB", "capture ms",
                "floor ms", "cap/floor", "fresh ms", "cap/fresh", "copy/floor", "over image");
    bench::PluginDevice dev;
    for (const Layout& layout : layouts) {
        const LONG stride = ((layout.width + 31) / 32) * 4;
        std::vector<BYTE> pixels(static_cast<size_t>(stride) * layout.bandRows, 0x5A);
        std::vector<LONG> bands;
        for (LONG top = 0; top < layout.height; top += layout.bandRows)
            bands.push_back(std::min(layout.bandRows, layout.height - top));
        for (int pages : layout.pages) {
            const size_t total = static_cast<size_t>(stride) * layout.height * pages;
            const int rounds = total > (size_t(8) << 20) ? 3 : 7;
            SIZE_T committed = 0, imageSize = 0;
            const double capture = BestMs(rounds, [&] {
                for (int p = 0; p < pages; ++p)
                    for (LONG rows : bands) {
                        BITMAPINFOHEADER header = bench::MonoBandHeader(layout.width, rows, stride);
                        IPPARAMS params{};
                        PBYTE result = nullptr;
                        dev.plugin->ImageProcessing(&dev.devobj, pixels.data(), &header, nullptr, 1, &params, &result);
                    }
                committed = static_cast<SIZE_T>(testsupport::CommittedBytes(dev.device()->image, dev.device()->imageReserved));
                imageSize = dev.device()->imageSize;
                ReleaseImage(dev.device());
            });
            const double floor = BestMs(rounds, [&] {
                auto* image = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, total));
                size_t offset = 0;
                for (int p = 0; p < pages; ++p)
                    for (LONG rows : bands) {
                        std::memcpy(image + offset, pixels.data(), static_cast<size_t>(stride) * rows);
                        offset += static_cast<size_t>(stride) * rows;
                    }
                LocalFree(image);
            });
            // The same in fresh pages that go back when the document ends,
            // as the image's do.
            const double fresh = BestMs(rounds, [&] {
                auto* image = static_cast<BYTE*>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
                size_t offset = 0;
                for (int p = 0; p < pages; ++p)
                    for (LONG rows : bands) {
                        std::memcpy(image + offset, pixels.data(), static_cast<size_t>(stride) * rows);
                        offset += static_cast<size_t>(stride) * rows;
                    }
                VirtualFree(image, 0, MEM_RELEASE);
            });
            char copyRatio[32] = "-";
            if (pages <= layout.referenceUpTo) {
                const double copy = BestMs(1, [&] {
                    BYTE* image = nullptr;
                    size_t size = 0;
                    for (int p = 0; p < pages; ++p)
                        for (LONG rows : bands) {
                            const size_t n = static_cast<size_t>(stride) * rows;
                            auto* grown = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, size + n));
                            if (image) {
                                std::memcpy(grown, image, size);
                                LocalFree(image);
                            }
                            std::memcpy(grown + size, pixels.data(), n);
                            image = grown;
                            size += n;
                        }
                    LocalFree(image);
                });
                std::snprintf(copyRatio, sizeof copyRatio, "%.1f", copy / floor);
            }
            std::printf("%-16s %6d %9.2f %12.2f %12.2f %10.2f %12.2f %10.2f %12s %9lu B%s\n", layout.name, pages,
                        double(total) / (1024.0 * 1024.0), capture, floor, capture / floor, fresh, capture / fresh,
                        copyRatio,
                        static_cast<unsigned long>(committed - imageSize),
                        imageSize == total ? "" : " (image incomplete)");
        }
    }
    return 0;
}

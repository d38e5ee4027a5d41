// A whole simulated job through the loaded module: a 2,000-row receipt.
#include <benchmark/benchmark.h>

#include "standin/host/print_job.h"

namespace {

standin::Page Receipt() {
    standin::Page page;
    page.width = 384;
    page.height = 2000;
    page.dots.resize(384u * 2000u);
    for (size_t i = 0; i < page.dots.size(); ++i) page.dots[i] = ((i * 2654435761u) >> 13) % 3 == 0;
    return page;
}

void BM_ReceiptJob(benchmark::State& state) {
    const std::vector<standin::Document> job = {{Receipt()}};
    standin::JobOptions options;
    options.path = state.range(0) == 0 ? standin::OutputPath::kCapture : standin::OutputPath::kFilter;
    size_t rows = 0;
    for (auto _ : state) {
        const standin::JobResult result = standin::RunJob(job, options);
        if (!result.ok) state.SkipWithError(result.error.c_str());
        rows += result.stats.commands;
    }
    state.SetItemsProcessed(static_cast<int64_t>(rows));
}
BENCHMARK(BM_ReceiptJob)->Arg(0)->Arg(1)->ArgName("filter")->Unit(benchmark::kMillisecond);

}  // namespace

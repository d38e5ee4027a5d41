// The PDF renderer on arbitrary bytes, at a scaling and optimisation the
// first byte picks: every page comes in whole rows of the 384 dots, black
// or white only unless grey was asked for, within the bounds; or the
// document is refused by name. The clock is short so that a page that
// never ends is found as a bound, not as a time-out.
#include <string>

#include "fuzz/fuzz_support.h"
#include "render/render.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const render::Scaling kScalings[] = {render::Scaling::kAuto, render::Scaling::kFit,
                                                render::Scaling::kNone};
    render::Options options;
    if (size > 0) {
        options.scaling = kScalings[data[0] % 3];
        if ((data[0] / 3) % 2) options.optimize = render::ContentOptimize::kPhoto;
        ++data;
        --size;
    }
    options.maxRows = 24 * 200;
    options.maxPages = 8;
    options.maxSeconds = 2;
    const bool grey = options.optimize == render::ContentOptimize::kPhoto;
    long rows = 0;
    int pages = 0;
    bool open = false;
    render::Sink sink;
    sink.startPage = [&](bool bilevel) {
        fuzz::Check(bilevel == !grey && !open, "a page of the wrong kind, or within a page");
        open = true;
        ++pages;
        return true;
    };
    sink.rows = [&](const std::uint8_t* band, int count) {
        fuzz::Check(open && count > 0, "rows outside a page");
        if (!grey)
            for (long i = 0; i < static_cast<long>(count) * render::kDots; ++i)
                fuzz::Check(band[i] == 0 || band[i] == 255, "grey where black and white was asked for");
        rows += count;
        return true;
    };
    sink.endPage = [&] {
        fuzz::Check(open, "a page ended twice");
        open = false;
        return true;
    };
    const render::Result result = render::RenderBytes(data, size, render::Format::kPdf, options, sink, "input");
    if (result.ok) fuzz::Check(!open && pages > 0, "a page left open, or none printed");
    fuzz::Check(result.rows == rows && result.pages == pages && rows <= options.maxRows, "counts disagree");
    if (!result.ok) fuzz::Check(!result.error.empty(), "a refusal without a reason");
    return 0;
}

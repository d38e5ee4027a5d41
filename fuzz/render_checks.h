// What any document the shared renderers print must keep to, checked as
// its rows come: pages open and close in turn, rows only inside a page,
// only black and white unless grey was asked for, counts that agree with
// the result and stay within the bound; a refusal says why.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "render/render.h"

namespace fuzz {

// `grey`: grey may come (ContentOptimize::kPhoto); `pagesIfPrinted`: a
// document that prints has at least one page.
inline void RenderChecked(const std::uint8_t* data, std::size_t size, render::Format format,
                          const render::Options& options, bool grey, bool pagesIfPrinted) {
    long rows = 0;
    int pages = 0;
    bool open = false;
    render::Sink sink;
    sink.startPage = [&](bool bilevel) {
        Check(bilevel == !grey && !open, "a page of the wrong kind, or within a page");
        open = true;
        ++pages;
        return true;
    };
    sink.rows = [&](const std::uint8_t* band, int count) {
        Check(open && count > 0, "rows outside a page");
        if (!grey)
            for (long i = 0; i < static_cast<long>(count) * render::kDots; ++i)
                Check(band[i] == 0 || band[i] == 255, "grey where black and white was asked for");
        rows += count;
        return true;
    };
    sink.endPage = [&] {
        Check(open, "a page ended twice");
        open = false;
        return true;
    };
    const render::Result result = render::RenderBytes(data, size, format, options, sink, "input");
    if (result.ok) Check(!open && (pages > 0 || !pagesIfPrinted), "a page left open, or none printed");
    Check(result.rows == rows && result.pages == pages && rows <= options.maxRows, "counts disagree");
    if (!result.ok) Check(!result.error.empty(), "a refusal without a reason");
}

}  // namespace fuzz

// The text renderer on arbitrary bytes, in a character set and at a width
// the first byte picks: every page comes in whole rows of the 384 dots,
// black or white only, within the bounds; or the text is refused by name.
#include <string>

#include "fuzz/fuzz_support.h"
#include "render/render.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kCharsets[] = {"utf-8", "windows-1252", "cp437", "cp866", "utf-16", "shift_jis"};
    static const int kColumns[] = {32, 42, 48};
    render::Options options;
    if (size > 0) {
        options.charset = kCharsets[data[0] % 6];
        options.columns = kColumns[(data[0] / 6) % 3];
        options.wrap = (data[0] / 18) % 2 == 0;
        ++data;
        --size;
    }
    options.maxRows = 24 * 200;
    long rows = 0;
    int pages = 0;
    bool open = false;
    render::Sink sink;
    sink.startPage = [&](bool bilevel) {
        fuzz::Check(bilevel && !open, "a page not bi-level, or within a page");
        open = true;
        ++pages;
        return true;
    };
    sink.rows = [&](const std::uint8_t* band, int count) {
        fuzz::Check(open && count > 0, "rows outside a page");
        for (long i = 0; i < static_cast<long>(count) * render::kDots; ++i)
            fuzz::Check(band[i] == 0 || band[i] == 255, "grey in text");
        rows += count;
        return true;
    };
    sink.endPage = [&] {
        fuzz::Check(open, "a page ended twice");
        open = false;
        return true;
    };
    const render::Result result = render::RenderBytes(data, size, render::Format::kText, options, sink, "input");
    if (result.ok) fuzz::Check(!open, "a page left open");
    fuzz::Check(result.rows == rows && result.pages == pages && rows <= options.maxRows, "counts disagree");
    if (!result.ok) fuzz::Check(!result.error.empty(), "a refusal without a reason");
    return 0;
}

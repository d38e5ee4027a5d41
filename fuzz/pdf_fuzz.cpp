// The PDF renderer on arbitrary bytes, at a scaling and optimisation the
// first byte picks: every page comes in whole rows of the 384 dots, black
// or white only unless grey was asked for, within the bounds; or the
// document is refused by name. The clock is short so that a page that
// never ends is found as a bound, not as a time-out.
#include <string>

#include "fuzz/render_checks.h"

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
    fuzz::RenderChecked(data, size, render::Format::kPdf, options, grey, true);
    return 0;
}

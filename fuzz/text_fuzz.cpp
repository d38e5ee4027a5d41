// The text renderer on arbitrary bytes, in a character set and at a width
// the first byte picks: every page comes in whole rows of the 384 dots,
// black or white only, within the bounds; or the text is refused by name.
#include <string>

#include "fuzz/render_checks.h"

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
    fuzz::RenderChecked(data, size, render::Format::kText, options, false, false);
    return 0;
}

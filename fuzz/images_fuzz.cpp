// DecodeImages on arbitrary bytes: every image comes back whole and within
// the limits, or the input is refused with a message naming it. Small
// images go on through the scaler and both halftones.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/common/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    std::vector<tools::GreyImage> images;
    std::string error;
    if (!tools::DecodeImages(bytes, "input", images, error)) {
        fuzz::Check(error.rfind("input ", 0) == 0, "a refusal that does not name the input");
        return 0;
    }
    fuzz::Check(!images.empty(), "success without an image");
    std::int64_t dots = 0;
    for (const tools::GreyImage& image : images) {
        fuzz::Check(image.width > 0 && image.height > 0, "an empty image");
        fuzz::Check(image.width <= tools::kMaxDimension && image.height <= tools::kMaxDimension,
                    "a side past the limit");
        fuzz::Check(image.grey.size() == static_cast<size_t>(image.width * image.height), "dots and size differ");
        dots += image.width * image.height;
        if (image.bilevel)
            for (std::uint8_t g : image.grey) fuzz::Check(g == 0 || g == 255, "a bilevel image with grey");
        if (image.width * image.height > (1 << 16)) continue;

        const standin::Page page = tools::ToPage(image, tools::Halftone::kDiffusion, 0);
        fuzz::Check(page.dots.size() == image.grey.size(), "a page of another size");
        const std::int64_t height = tools::ScaledHeight(image, 384);
        if (height * 384 > (1 << 18)) continue;
        const tools::GreyImage scaled = tools::ScaleToWidth(image, 384);
        fuzz::Check(scaled.width == 384 && scaled.height == height, "scaled to another size");
        fuzz::Check(scaled.grey.size() == static_cast<size_t>(384 * height), "scaled dots and size differ");
        tools::ToPage(scaled, tools::Halftone::kThreshold, 128);
    }
    fuzz::Check(dots <= tools::kMaxDots, "a document past the limit");
    return 0;
}

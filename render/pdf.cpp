// PDF pages through poppler's Splash renderer in 8-bit grey, without
// anti-aliasing, across the printer's dots at the page's own length.
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "render/emitter.h"
#include "render/internal.h"

namespace render {
namespace {

constexpr double kRollPoints = 58.0 * 72.0 / 25.4;
constexpr double kRollSlack = 1.0 * 72.0 / 25.4;
constexpr int kBandRows = 256;

// poppler reports to one process-wide function: documents are read one at
// a time, and what it says while one is read is kept for that one.
std::mutex gPoppler;

void Keep(const std::string& message, void* closure) {
    auto* messages = static_cast<std::vector<std::string>*>(closure);
    const std::string prefix = "error: ";
    if (messages->size() < 8)
        messages->push_back(message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message);
}

void Drop(const std::string&, void*) {}

// A PDF ends with its trailer and %%EOF; one cut short does not, and
// poppler would print whatever it could rebuild of it.
bool EndsWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::vector<char> tail(1024);
    std::size_t got = 0;
    if (path.empty()) {
        got = std::min(size, tail.size());
        std::memcpy(tail.data(), data + size - got, got);
    } else {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return true;  // poppler names the reason
        if (std::fseek(file, 0, SEEK_END) == 0) {
            const long end = std::ftell(file);
            const long from = end > static_cast<long>(tail.size()) ? end - static_cast<long>(tail.size()) : 0;
            if (end >= 0 && std::fseek(file, from, SEEK_SET) == 0) got = std::fread(tail.data(), 1, tail.size(), file);
        }
        std::fclose(file);
    }
    const std::string text(tail.data(), got);
    return text.find("%%EOF") != std::string::npos;
}

std::string Reason(const std::vector<std::string>& messages) {
    return messages.empty() ? "no reason given" : messages.front();
}

}  // namespace

Result RenderPdf(const std::string& path, const std::uint8_t* data, std::size_t size, const Options& options,
                 const Sink& sink, const std::string& name) {
    Result result;
    Emitter emitter(options, sink, result);
    if (path.empty() && size > static_cast<std::size_t>(INT_MAX)) {
        emitter.Fail(name + " is larger than " + std::to_string(INT_MAX) + " bytes, the limit for a PDF");
        return result;
    }
    std::lock_guard<std::mutex> lock(gPoppler);
    std::vector<std::string> messages;
    poppler::set_debug_error_function(Keep, &messages);
    struct Quiet {
        ~Quiet() { poppler::set_debug_error_function(Drop, nullptr); }
    } quiet;

    const char* bytes = reinterpret_cast<const char*>(data);
    std::unique_ptr<poppler::document> document(
        path.empty() ? poppler::document::load_from_raw_data(bytes, static_cast<int>(size))
                     : poppler::document::load_from_file(path));
    if (!document) {
        emitter.Fail(name + " cannot be read as a PDF: " + Reason(messages));
        return result;
    }
    if (document->is_locked()) {
        emitter.Fail(name + " is encrypted: it opens only with a password");
        return result;
    }
    if (!EndsWhole(path, data, size)) {
        emitter.Fail(name + " is cut short: it has no end-of-file marker" +
                     (messages.empty() ? std::string() : " (" + messages.front() + ")"));
        return result;
    }
    const int pages = document->pages();
    if (pages <= 0) {
        emitter.Fail(name + " has no pages");
        return result;
    }
    auto wanted = [&](int number) {
        if (options.pageRanges.empty()) return true;
        for (const auto& range : options.pageRanges)
            if (number >= range.first && number <= range.second) return true;
        return false;
    };
    int selected = 0;
    for (int number = 1; number <= pages; ++number) selected += wanted(number);
    if (selected > options.maxPages) {
        emitter.Fail(name + " has " + std::to_string(pages) + " pages, more than " + std::to_string(options.maxPages) +
                     ", the limit for a document");
        return result;
    }

    poppler::page_renderer renderer;
    renderer.set_image_format(poppler::image::format_gray8);
    renderer.set_render_hint(poppler::page_renderer::antialiasing, false);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, false);
    renderer.set_render_hint(poppler::page_renderer::text_hinting, true);
    const bool threshold = options.optimize != ContentOptimize::kPhoto;
    std::vector<std::uint8_t> band(static_cast<size_t>(kBandRows) * kDots);

    for (int index = 0; index < pages; ++index) {
        if (!wanted(index + 1)) continue;
        if (!emitter.Check()) return result;
        std::unique_ptr<poppler::page> page(document->create_page(index));
        if (!page) {
            emitter.Fail("page " + std::to_string(index + 1) + " of " + name + " cannot be read: " + Reason(messages));
            return result;
        }
        const poppler::rectf box = page->page_rect(poppler::crop_box);
        double width = box.width(), height = box.height();
        const poppler::page::orientation_enum turn = page->orientation();
        if (turn == poppler::page::landscape || turn == poppler::page::seascape) std::swap(width, height);
        if (!(width > 0 && height > 0)) {
            emitter.Fail("page " + std::to_string(index + 1) + " of " + name + " has no size");
            return result;
        }

        const bool roll = std::fabs(width - kRollPoints) <= kRollSlack;
        const bool fit = options.scaling == Scaling::kFit || options.scaling == Scaling::kFill ||
                         (options.scaling == Scaling::kAuto && !roll);
        const double dpi = fit ? kDots * 72.0 / width : kDpi;
        const double pageDots = width * dpi / 72.0;
        const double pageRows = std::max(1.0, std::round(height * dpi / 72.0));
        if (pageRows > static_cast<double>(options.maxRows)) {
            emitter.Fail("page " + std::to_string(index + 1) + " of " + name + " is longer than " +
                         std::to_string(options.maxRows) + " rows of 384 dots, the limit for a document");
            return result;
        }
        const int rows = static_cast<int>(pageRows);
        // Centred on the dots, as an unscaled page is: a 58 mm page loses
        // its 5 mm margins, exactly the roll's unprintable edges.
        const int offset = fit ? 0 : static_cast<int>(std::lround((pageDots - kDots) / 2));
        const int from = std::max(0, offset);
        const int across = std::min(kDots, static_cast<int>(std::ceil(pageDots)) - from);
        const int at = from - offset;  // printer dot of the rendered image's column 0

        if (!emitter.StartPage(threshold)) return result;
        for (int top = 0; top < rows; top += kBandRows) {
            const int count = std::min(kBandRows, rows - top);
            std::fill(band.begin(), band.end(), 255);
            if (across > 0) {
                poppler::image image = renderer.render_page(page.get(), dpi, dpi, from, top, across, count);
                if (!image.is_valid() || image.format() != poppler::image::format_gray8) {
                    emitter.Fail("page " + std::to_string(index + 1) + " of " + name +
                                 " cannot be rendered: " + Reason(messages));
                    return result;
                }
                const int w = std::min(image.width(), kDots - at);
                const int h = std::min(image.height(), count);
                const char* pixels = image.const_data();
                for (int y = 0; y < h; ++y) {
                    const auto* in = reinterpret_cast<const std::uint8_t*>(pixels + static_cast<std::ptrdiff_t>(y) *
                                                                                         image.bytes_per_row());
                    std::uint8_t* out = band.data() + static_cast<size_t>(y) * kDots + at;
                    for (int x = 0; x < w; ++x)
                        out[x] = threshold ? (in[x] < options.threshold ? 0 : 255) : in[x];
                }
            }
            if (!emitter.Rows(band.data(), count)) return result;
        }
        if (!emitter.EndPage()) return result;
    }
    result.ok = true;
    return result;
}

}  // namespace render

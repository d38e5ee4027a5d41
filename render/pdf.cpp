// PDF pages through poppler's Splash renderer without anti-aliasing,
// thresholded (in 1 bit a dot) or in 8-bit grey for the host to dither,
// across the printer's dots at the page's own length.
//
// poppler's core API rather than its C++ wrapper: the interpreter asks our
// abort check between content operators, nested forms and glyph procedures
// included, so the document's clock and the host's cancel hold inside a
// page; pictures are weighed before they are decoded; and a page is
// interpreted once for up to kSliceRows rows, not once per band.
#include <ErrorCodes.h>
#include <Function.h>
#include <GlobalParams.h>
#include <GfxState.h>
#include <PDFDoc.h>
#include <Page.h>
#include <SplashOutputDev.h>
#include <Stream.h>
#include <goo/GooString.h>
#include <splash/Splash.h>
#include <splash/SplashBitmap.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "render/emitter.h"
#include "render/internal.h"

namespace render {
namespace {

constexpr double kRollPoints = 58.0 * 72.0 / 25.4;
constexpr double kRollSlack = 1.0 * 72.0 / 25.4;
constexpr int kBandRows = 256;
// Rows interpreted at once (0.4 MB thresholded, 3 MB with its alpha in
// grey): a 1 m receipt is one pass.
constexpr int kSliceRows = 8192;
// A page wider than the roll is looked over at the printer's own scale
// for its ink (print-scaling=auto) when it takes at most this many dots
// (Letter and A4 take about 4 million), in slices of kProbeDots.
constexpr long kProbeMaxDots = 64L << 20;
constexpr long kProbeDots = 8L << 20;
// Pixel values (pixels times colour components) of one picture in a PDF:
// 4096 x 4096 grey, about 2365 x 2365 in colour. Decoders may hold a whole
// picture (progressive JPEG: two bytes a value), so this keeps one picture
// within 32 MB; the printer has 384 dots across.
constexpr long long kMaxPictureValues = 16LL << 20;
// JPEG 2000 is decoded whole at four bytes a value, as soon as the
// interpreter looks at it: a quarter of that.
constexpr long long kMaxJpxValues = kMaxPictureValues / 4;
// Transparency groups open at once: each holds a bitmap of the rows being
// rendered with its alpha (3.5 MB for a whole slice).
constexpr int kMaxGroups = 12;

// poppler reports to one process-wide function: documents are read one at
// a time, and what it says while one is read is kept for that one.
std::mutex gPoppler;
std::vector<std::string>* gMessages = nullptr;

void Keep(ErrorCategory, Goffset, const char* message) {
    if (gMessages && gMessages->size() < 8) gMessages->push_back(message);
}

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

std::string Thousands(long long n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

// What the interpreter asks between operators: the document's clock, a
// refusal already made, the host's stop (asked every 20 ms at most).
struct Guard {
    Emitter& emitter;
    const Sink& sink;
    Result& result;
    std::string what;  // the page being rendered, for messages
    std::chrono::steady_clock::time_point nextAsk{};

    bool Stop() {
        if (!emitter.Check()) return true;
        if (!sink.stop) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < nextAsk) return false;
        nextAsk = now + std::chrono::milliseconds(20);
        if (!sink.stop()) return false;
        result.stopped = true;
        emitter.Fail("stopped by the host");
        return true;
    }
};

bool AbortCheck(void* guard) { return static_cast<Guard*>(guard)->Stop(); }

// A JPEG's own size from its frame header, which may differ from what the
// PDF says of it. False when it cannot be found in the first 64 KB.
bool JpegSize(Stream* raw, long long& width, long long& height, int& components) {
    raw->reset();
    std::vector<int> head;
    // Whether the first n bytes are read.
    auto have = [&](size_t n) {
        while (head.size() < n && head.size() < 65536) {
            const int c = raw->getChar();
            if (c == EOF) break;
            head.push_back(c);
        }
        return head.size() >= n;
    };
    size_t at = 2;
    if (!have(4) || head[0] != 0xFF || head[1] != 0xD8) return false;
    while (have(at + 4)) {
        if (head[at] != 0xFF) return false;
        const int marker = head[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        const size_t length = static_cast<size_t>(head[at + 2] << 8 | head[at + 3]);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (!have(at + 10)) return false;
            height = head[at + 5] << 8 | head[at + 6];
            width = head[at + 7] << 8 | head[at + 8];
            components = head[at + 9];
            return true;
        }
        if (marker == 0xDA || length < 2) return false;
        at += 2 + length;
    }
    return false;
}

// A JPEG 2000 picture's own size from its codestream's SIZ marker (in a
// JP2 file or bare). False when it is not in the first 64 KB.
bool JpxSize(Stream* raw, long long& width, long long& height, int& components) {
    raw->reset();
    std::vector<std::uint8_t> head;
    for (int c; head.size() < 65536 && (c = raw->getChar()) != EOF;) head.push_back(static_cast<std::uint8_t>(c));
    auto be32 = [&](size_t at) {
        return static_cast<long long>(head[at]) << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3];
    };
    for (size_t at = 0; at + 42 <= head.size(); ++at) {
        if (head[at] != 0xFF || head[at + 1] != 0x4F || head[at + 2] != 0xFF || head[at + 3] != 0x51) continue;
        const size_t siz = at + 2;
        width = be32(siz + 6) - be32(siz + 14);
        height = be32(siz + 10) - be32(siz + 18);
        components = head[siz + 38] << 8 | head[siz + 39];
        return true;
    }
    return false;
}

// Why a picture of the size the PDF gives is not drawn, or "": its pixel
// values past the bound, by the PDF's size or its own header's (read from
// the encoded bytes unless they are the page's content stream itself).
std::string Overweight(Stream* str, long long width, long long height, int components, bool peek) {
    long long values = width * height * std::max(components, 1);
    long long bound = kMaxPictureValues;
    for (Stream* s = str; s; s = s->getNextStream()) {
        const StreamKind kind = s->getKind();
        if (kind == strJPX) bound = kMaxJpxValues;
        if (!peek || (kind != strDCT && kind != strJPX) || !s->getNextStream()) continue;
        long long w = 0, h = 0;
        int n = 1;
        const bool known = kind == strDCT ? JpegSize(s->getNextStream(), w, h, n) : JpxSize(s->getNextStream(), w, h, n);
        if (known && w * h * std::max(n, 1) > values) {
            width = w;
            height = h;
            values = w * h * std::max(n, 1);
        }
    }
    if (values <= bound) return std::string();
    return " holds a picture of " + Thousands(width) + " x " + Thousands(height) + " pixels (" + Thousands(values) +
           " pixel values), more than " + Thousands(bound) +
           (bound == kMaxPictureValues ? " (4,096 x 4,096 grey), the limit for a picture in a PDF"
                                       : " (2,048 x 2,048 grey), the limit for a JPEG 2000 picture in a PDF");
}

// The pictures of a page's resources, its forms', patterns', Type 3
// fonts' and soft masks' (8 levels down), weighed before the page is
// interpreted: JPEG 2000 is decoded as soon as it is looked at, before
// the output device sees it. "" or why the page is refused.
std::string WeighResources(Dict* resources, int depth, std::set<Ref>& seen) {
    if (!resources || depth > 8) return std::string();
    std::string why;
    auto stream = [&](const Object& ref, const Object& object) {
        if (ref.isRef() && !seen.insert(ref.getRef()).second) return;
        if (!object.isStream()) return;
        Dict* dict = object.streamGetDict();
        const Object subtype = dict->lookup("Subtype");
        if (subtype.isName("Image")) {
            const Object w = dict->lookup("Width"), h = dict->lookup("Height");
            const Object mask = dict->lookup("SMask");
            if (why.empty() && w.isInt() && h.isInt())
                why = Overweight(object.getStream(), w.getInt(), h.getInt(), 1, true);
            if (why.empty() && mask.isStream()) {
                Dict* m = mask.streamGetDict();
                const Object mw = m->lookup("Width"), mh = m->lookup("Height");
                if (mw.isInt() && mh.isInt()) why = Overweight(mask.getStream(), mw.getInt(), mh.getInt(), 1, true);
            }
            return;
        }
        const Object inner = dict->lookup("Resources");
        if (why.empty() && inner.isDict()) why = WeighResources(inner.getDict(), depth + 1, seen);
    };
    auto each = [&](const char* key, const std::function<void(const Object&, const Object&)>& visit) {
        const Object entries = resources->lookup(key);
        if (!entries.isDict()) return;
        Dict* dict = entries.getDict();
        for (int i = 0; i < dict->getLength() && why.empty(); ++i) visit(dict->getValNF(i), dict->getVal(i));
    };
    each("XObject", stream);
    each("Pattern", stream);
    each("Font", [&](const Object& ref, const Object& font) {
        if (ref.isRef() && !seen.insert(ref.getRef()).second) return;
        if (!font.isDict()) return;
        const Object inner = font.getDict()->lookup("Resources");
        if (inner.isDict()) why = WeighResources(inner.getDict(), depth + 1, seen);
    });
    each("ExtGState", [&](const Object&, const Object& state) {
        if (!state.isDict()) return;
        const Object mask = state.getDict()->lookup("SMask");
        if (!mask.isDict()) return;
        stream(mask.getDict()->lookupNF("G"), mask.getDict()->lookup("G"));
    });
    return why;
}

// Splash, with every picture weighed before it is decoded: one past the
// bound is refused (the page fails, naming it) and not drawn. A page to be
// thresholded is drawn in 1 bit a dot, its grey transfer a step at the
// threshold, so that whatever is painted below it is black and the rest
// white before Splash's halftone screen sees it: as thresholded 8-bit
// grey, at an eighth of the memory, without an alpha plane to composite.
class Output : public SplashOutputDev {
public:
    Output(Guard& guard, SplashColorPtr white, int threshold)
        : SplashOutputDev(threshold > 0 ? splashModeMono1 : splashModeMono8, 1, false, white), guard_(guard),
          threshold_(threshold) {}

    void startPage(int pageNum, GfxState* state, XRef* pageXref) override {
        SplashOutputDev::startPage(pageNum, state, pageXref);
        SetTransfer(nullptr);
    }
    void updateTransfer(GfxState* state) override {
        SplashOutputDev::updateTransfer(state);
        SetTransfer(state);
    }
    // A transparency group draws through a Splash of its own (a soft
    // mask's keeps its grey: it becomes coverage, not ink). One nested
    // past the bound refuses the page and is not opened; its end, paint or
    // soft mask are then skipped as well. (A picture's stencil mask opens
    // one itself and is always let through.)
    void beginTransparencyGroup(GfxState* state, const double* bbox, GfxColorSpace* blendingColorSpace,
                                bool isolated, bool knockout, bool forSoftMask) override {
        if (!inStencil_ && (skippedOpen_ > 0 || groups_ >= kMaxGroups)) {
            if (skippedOpen_++ == 0)
                guard_.emitter.Fail(guard_.what + " nests transparency groups deeper than " +
                                    std::to_string(kMaxGroups) + ", the limit for a page");
            return;
        }
        ++groups_;
        SplashOutputDev::beginTransparencyGroup(state, bbox, blendingColorSpace, isolated, knockout, forSoftMask);
        if (!forSoftMask) SetTransfer(state);
    }
    void endTransparencyGroup(GfxState* state) override {
        if (!inStencil_ && skippedOpen_ > 0) {
            --skippedOpen_;
            ++skippedClosed_;
            return;
        }
        --groups_;
        SplashOutputDev::endTransparencyGroup(state);
    }
    void paintTransparencyGroup(GfxState* state, const double* bbox) override {
        if (!inStencil_ && skippedClosed_ > 0) {
            --skippedClosed_;
            return;
        }
        SplashOutputDev::paintTransparencyGroup(state, bbox);
    }
    void setSoftMask(GfxState* state, const double* bbox, bool alpha, Function* transferFunc,
                     GfxColor* backdropColor) override {
        if (skippedClosed_ > 0) {
            --skippedClosed_;
            return;
        }
        SplashOutputDev::setSoftMask(state, bbox, alpha, transferFunc, backdropColor);
    }

    void drawImageMask(GfxState* state, Object* ref, Stream* str, int width, int height, bool invert,
                       bool interpolate, bool inlineImg) override {
        if (Allowed(str, width, height, 1, inlineImg))
            SplashOutputDev::drawImageMask(state, ref, str, width, height, invert, interpolate, inlineImg);
    }
    void setSoftMaskFromImageMask(GfxState* state, Object* ref, Stream* str, int width, int height, bool invert,
                                  bool inlineImg, double* baseMatrix) override {
        skippedMask_ = !Allowed(str, width, height, 1, inlineImg);
        if (skippedMask_) return;
        inStencil_ = true;
        SplashOutputDev::setSoftMaskFromImageMask(state, ref, str, width, height, invert, inlineImg, baseMatrix);
        inStencil_ = false;
    }
    void unsetSoftMaskFromImageMask(GfxState* state, double* baseMatrix) override {
        if (skippedMask_) {
            skippedMask_ = false;
            return;
        }
        inStencil_ = true;
        SplashOutputDev::unsetSoftMaskFromImageMask(state, baseMatrix);
        inStencil_ = false;
    }
    void drawImage(GfxState* state, Object* ref, Stream* str, int width, int height, GfxImageColorMap* colorMap,
                   bool interpolate, const int* maskColors, bool inlineImg) override {
        if (Allowed(str, width, height, Components(colorMap), inlineImg))
            SplashOutputDev::drawImage(state, ref, str, width, height, colorMap, interpolate, maskColors, inlineImg);
    }
    void drawMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height, GfxImageColorMap* colorMap,
                         bool interpolate, Stream* maskStr, int maskWidth, int maskHeight, bool maskInvert,
                         bool maskInterpolate) override {
        if (Allowed(str, width, height, Components(colorMap), false) &&
            Allowed(maskStr, maskWidth, maskHeight, 1, false))
            SplashOutputDev::drawMaskedImage(state, ref, str, width, height, colorMap, interpolate, maskStr, maskWidth,
                                             maskHeight, maskInvert, maskInterpolate);
    }
    void drawSoftMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                             GfxImageColorMap* colorMap, bool interpolate, Stream* maskStr, int maskWidth,
                             int maskHeight, GfxImageColorMap* maskColorMap, bool maskInterpolate) override {
        if (Allowed(str, width, height, Components(colorMap), false) &&
            Allowed(maskStr, maskWidth, maskHeight, Components(maskColorMap), false))
            SplashOutputDev::drawSoftMaskedImage(state, ref, str, width, height, colorMap, interpolate, maskStr,
                                                 maskWidth, maskHeight, maskColorMap, maskInterpolate);
    }

private:
    // The grey transfer as Splash would set it from the graphics state,
    // then made a step at the threshold, for every colour's grey.
    void SetTransfer(GfxState* state) {
        if (threshold_ <= 0 || !getSplash()) return;
        Function* gray = nullptr;
        if (state) {
            Function** transfer = state->getTransfer();
            if (transfer[0] && transfer[0]->getInputSize() == 1 && transfer[0]->getOutputSize() == 1)
                gray = transfer[3] && transfer[3]->getInputSize() == 1 && transfer[3]->getOutputSize() == 1
                           ? transfer[3]
                           : transfer[0];
        }
        unsigned char identity[256], step[256];
        for (int i = 0; i < 256; ++i) {
            identity[i] = static_cast<unsigned char>(i);
            double value = i;
            if (gray) {
                double x = i / 255.0, y = 0;
                gray->transform(&x, &y);
                value = std::round(std::clamp(y, 0.0, 1.0) * 255);
            }
            step[i] = value < threshold_ ? 0 : 255;
        }
        getSplash()->setTransfer(identity, identity, identity, step);
    }

    static int Components(GfxImageColorMap* map) { return map ? std::max(1, map->getNumPixelComps()) : 1; }

    bool Allowed(Stream* str, long long width, long long height, int components, bool inlineImg) {
        if (guard_.Stop()) return false;
        // An inline picture's bytes are the page's content stream itself,
        // not to be read ahead of the interpreter.
        const std::string why = Overweight(str, width, height, components, !inlineImg);
        if (why.empty()) return true;
        guard_.emitter.Fail(guard_.what + why);
        return false;
    }

    Guard& guard_;
    int threshold_;
    bool skippedMask_ = false;
    bool inStencil_ = false;
    int groups_ = 0, skippedOpen_ = 0, skippedClosed_ = 0;
};

// A page's geometry on the dots: rendered at `dpi`, the rendered image's
// column `from` and row `top` onward; its column 0 lands on printer dot
// `at`; `across` columns and `rows` rows of it are printed.
struct Layout {
    double dpi = kDpi;
    int from = 0, top = 0, at = 0, across = 0;
    long rows = 0;
};

class PageRenderer {
public:
    PageRenderer(PDFDoc& doc, Emitter& emitter, const Options& options, Guard& guard)
        : doc_(doc), emitter_(emitter), options_(options), guard_(guard),
          threshold_(options.optimize != ContentOptimize::kPhoto),
          bits_(threshold_ && options.threshold >= 1 && options.threshold <= 255),
          out_(guard, White(), bits_ ? options.threshold : 0), band_(static_cast<size_t>(kBandRows) * kDots) {
        out_.setFontAntialias(false);
        out_.setVectorAntialias(false);
        out_.setFreeTypeHinting(true, false);
        out_.startDoc(&doc_);
    }

    // Renders the slice; false (the emitter's error set) if it failed.
    const SplashBitmap* Slice(int page, double dpi, int x, int y, int w, int h, const std::string& what) {
        doc_.displayPageSlice(&out_, page, dpi, dpi, 0, false, true, false, x, y, w, h, AbortCheck, &guard_);
        if (!emitter_.Check()) return nullptr;
        const SplashBitmap* bitmap = out_.getBitmap();
        if (!bitmap || bitmap->getWidth() < w || bitmap->getHeight() < h) {
            emitter_.Fail(what + " cannot be rendered");
            return nullptr;
        }
        return bitmap;
    }

    // Row y of the bitmap from column x, `count` dots as grey.
    void Grey(const SplashBitmap* bitmap, int x, int y, int count, std::uint8_t* out) const {
        const std::uint8_t* row = bitmap->getDataPtr() + static_cast<std::ptrdiff_t>(y) * bitmap->getRowSize();
        if (bits_) {
            int i = 0;
            if ((x & 7) == 0)
                for (; i + 8 <= count; i += 8) std::memcpy(out + i, Expanded()[row[(x + i) >> 3]].data(), 8);
            for (; i < count; ++i) out[i] = (row[(x + i) >> 3] & (0x80 >> ((x + i) & 7))) ? 255 : 0;
        } else if (threshold_) {
            for (int i = 0; i < count; ++i) out[i] = row[x + i] < options_.threshold ? 0 : 255;
        } else {
            std::memcpy(out, row + x, static_cast<size_t>(count));
        }
    }

    bool Ink(int grey) const { return grey < (threshold_ ? options_.threshold : 255); }

    // Prints `count` rows of the bitmap from row `y`, its columns from `x`.
    bool Emit(const SplashBitmap* bitmap, int x, int y, const Layout& layout, long count) {
        for (long done = 0; done < count; done += kBandRows) {
            const int n = static_cast<int>(std::min<long>(kBandRows, count - done));
            std::fill(band_.begin(), band_.end(), 255);
            for (int row = 0; row < n && bitmap; ++row)
                Grey(bitmap, x, y + static_cast<int>(done) + row, layout.across,
                     band_.data() + static_cast<size_t>(row) * kDots + layout.at);
            if (!emitter_.Rows(band_.data(), n)) return false;
        }
        return true;
    }

    bool Print(int page, const Layout& layout, const std::string& what) {
        if (!emitter_.StartPage(threshold_)) return false;
        for (long top = 0; top < layout.rows; top += kSliceRows) {
            const long count = std::min<long>(kSliceRows, layout.rows - top);
            const SplashBitmap* bitmap = nullptr;
            if (layout.across > 0) {
                bitmap = Slice(page, layout.dpi, layout.from, layout.top + static_cast<int>(top), layout.across,
                               static_cast<int>(count), what);
                if (!bitmap) return false;
            }
            if (!Emit(bitmap, 0, 0, layout, count)) return false;
        }
        return emitter_.EndPage();
    }

    // The inked box of a page `dots` wide and `rows` long at the printer's
    // scale. False on a failure; `found` false on a blank page. When one
    // slice held the whole page, `kept` is it.
    bool FindInk(int page, int dots, long rows, const std::string& what, int box[4], bool& found,
                 const SplashBitmap*& kept) {
        found = false;
        kept = nullptr;
        const long step = std::max<long>(1, kProbeDots / dots);
        for (long top = 0; top < rows; top += step) {
            const int count = static_cast<int>(std::min(step, rows - top));
            const SplashBitmap* bitmap = Slice(page, kDpi, 0, static_cast<int>(top), dots, count, what);
            if (!bitmap) return false;
            probe_.resize(static_cast<size_t>(dots));
            for (int y = 0; y < count; ++y) {
                Grey(bitmap, 0, y, dots, probe_.data());
                for (int x = 0; x < dots; ++x) {
                    if (!Ink(probe_[x])) continue;
                    const int at = static_cast<int>(top) + y;
                    if (!found) {
                        box[0] = box[2] = x;
                        box[1] = box[3] = at;
                        found = true;
                    }
                    box[0] = std::min(box[0], x);
                    box[2] = std::max(box[2], x);
                    box[3] = at;
                }
            }
            if (count == rows) kept = bitmap;
        }
        return true;
    }

private:
    // Each byte of 1-bit dots (MSB first, 1 white) as its eight grey dots.
    using Eight = std::array<std::uint8_t, 8>;
    static const std::array<Eight, 256>& Expanded() {
        static const auto table = [] {
            std::array<Eight, 256> t{};
            for (int b = 0; b < 256; ++b)
                for (int i = 0; i < 8; ++i) t[b][i] = (b & (0x80 >> i)) ? 255 : 0;
            return t;
        }();
        return table;
    }

    static SplashColorPtr White() {
        static SplashColor white = {255, 255, 255, 255};
        return white;
    }

    PDFDoc& doc_;
    Emitter& emitter_;
    const Options& options_;
    Guard& guard_;
    bool threshold_, bits_;
    Output out_;
    std::vector<std::uint8_t> band_, probe_;
};

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
    static GlobalParamsIniter params(Keep);
    std::vector<std::string> messages;
    gMessages = &messages;
    struct Quiet {
        ~Quiet() { gMessages = nullptr; }
    } quiet;

    std::unique_ptr<PDFDoc> document;
    if (path.empty()) {
        document = std::make_unique<PDFDoc>(
            new MemStream(reinterpret_cast<const char*>(data), 0, static_cast<Goffset>(size), Object(objNull)));
    } else {
        document = std::make_unique<PDFDoc>(std::make_unique<GooString>(path));
    }
    if (!document->isOk()) {
        if (document->getErrorCode() == errEncrypted)
            emitter.Fail(name + " is encrypted: it opens only with a password");
        else
            emitter.Fail(name + " cannot be read as a PDF: " + Reason(messages));
        return result;
    }
    if (!EndsWhole(path, data, size)) {
        emitter.Fail(name + " is cut short: it has no end-of-file marker" +
                     (messages.empty() ? std::string() : " (" + messages.front() + ")"));
        return result;
    }
    const int pages = document->getNumPages();
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

    Guard guard{emitter, sink, result, std::string()};
    PageRenderer renderer(*document, emitter, options, guard);
    for (int number = 1; number <= pages; ++number) {
        if (!wanted(number)) continue;
        if (!emitter.Check()) return result;
        const std::string what = "page " + std::to_string(number) + " of " + name;
        guard.what = what;
        Page* page = document->getPage(number);
        if (!page) {
            emitter.Fail(what + " cannot be read: " + Reason(messages));
            return result;
        }
        std::set<Ref> seen;
        const std::string heavy = WeighResources(page->getResourceDict(), 0, seen);
        if (!heavy.empty()) {
            emitter.Fail(what + heavy);
            return result;
        }
        double width = document->getPageCropWidth(number), height = document->getPageCropHeight(number);
        const int turn = ((document->getPageRotate(number) % 360) + 360) % 360;
        if (turn == 90 || turn == 270) std::swap(width, height);
        if (!(width > 0 && height > 0 && width < 1e7 && height < 1e7)) {
            emitter.Fail(what + " has no size");
            return result;
        }
        auto tooLong = [&] {
            emitter.Fail(what + " is longer than " + std::to_string(options.maxRows) +
                         " rows of 384 dots, the limit for a document");
            return result;
        };

        const bool roll = std::fabs(width - kRollPoints) <= kRollSlack;
        const bool fit = options.scaling == Scaling::kFit || options.scaling == Scaling::kFill ||
                         (options.scaling == Scaling::kAuto && !roll);
        Layout layout;
        layout.dpi = fit ? kDots * 72.0 / width : kDpi;
        const double pageDots = width * layout.dpi / 72.0;
        const double pageRows = std::max(1.0, std::round(height * layout.dpi / 72.0));
        // Centred on the dots, as an unscaled page is: a 58 mm page loses
        // its 5 mm margins, exactly the roll's unprintable edges.
        const int offset = fit ? 0 : static_cast<int>(std::lround((pageDots - kDots) / 2));
        layout.from = std::max(0, offset);
        layout.across = std::min(kDots, static_cast<int>(std::ceil(pageDots)) - layout.from);
        layout.at = layout.from - offset;
        layout.rows = static_cast<long>(std::min(pageRows, static_cast<double>(LONG_MAX / 2)));

        // print-scaling=auto, a page wider than the roll: a receipt a
        // browser put in a corner of a Letter or A4 page prints at its own
        // scale, cropped to its ink; a page inked wider is fitted whole.
        if (options.scaling == Scaling::kAuto && !roll && width > kRollPoints) {
            const int dots = static_cast<int>(std::ceil(width * kDpi / 72.0));
            const long rows = static_cast<long>(std::max(1.0, std::round(height * kDpi / 72.0)));
            if (static_cast<double>(dots) * static_cast<double>(rows) <= static_cast<double>(kProbeMaxDots)) {
                int box[4] = {0, 0, 0, 0};
                bool found = false;
                const SplashBitmap* kept = nullptr;
                if (!renderer.FindInk(number, dots, rows, what, box, found, kept)) return result;
                const int inked = box[2] - box[0] + 1;
                if (found && inked <= kDots) {
                    Layout crop;
                    crop.dpi = kDpi;
                    const int left = box[0] - (kDots - inked) / 2;  // the ink centred on the dots
                    crop.from = std::max(0, left);
                    crop.at = crop.from - left;
                    crop.across = std::min(kDots - crop.at, dots - crop.from);
                    crop.top = box[1];
                    crop.rows = box[3] - box[1] + 1;
                    if (crop.rows > options.maxRows) return tooLong();
                    if (kept) {
                        if (!emitter.StartPage(options.optimize != ContentOptimize::kPhoto) ||
                            !renderer.Emit(kept, crop.from, crop.top, crop, crop.rows) || !emitter.EndPage())
                            return result;
                    } else if (!renderer.Print(number, crop, what)) {
                        return result;
                    }
                    continue;
                }
            }
        }
        if (pageRows > static_cast<double>(options.maxRows)) return tooLong();
        if (!renderer.Print(number, layout, what)) return result;
    }
    result.ok = true;
    return result;
}

}  // namespace render

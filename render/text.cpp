// Plain text on a grid of character cells: bytes decoded by iconv, glyphs
// found through fontconfig, drawn bi-level by FreeType, one line of cells
// after another.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <harfbuzz/hb.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "render/emitter.h"
#include "render/internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define RENDER_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RENDER_LEAK_CHECKED 1
#endif
#endif
#ifdef RENDER_LEAK_CHECKED
// fontconfig keeps its configuration for the life of the process (FcFini,
// which frees it, is not a library's to call while others may use it).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

namespace render {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

// A glyph ready to draw: 1 byte a pixel, non-zero is black, placed by its
// origin on the baseline.
struct Glyph {
    int cells = 1;
    int left = 0, top = 0, width = 0, rows = 0;
    int advance = 0;
    std::vector<std::uint8_t> bits;
    bool ink = false;
};

// What the glyph cache may hold before it is emptied, bitmaps and entries
// counted: a few thousand glyphs of a 12-dot cell, whatever a text holds.
constexpr size_t kGlyphCacheBytes = 2 << 20;

// The fonts fontconfig ranks for the pattern, the first of them the grid's
// font; the others are opened only when a character needs them.
class Fonts {
public:
    ~Fonts() {
        for (Face& face : faces_)
            if (face.face) FT_Done_Face(face.face);
        if (set_) FcFontSetDestroy(set_);
        if (library_) FT_Done_FreeType(library_);
    }

    bool Open(const std::string& pattern, int cell, int line, std::string& error) {
        cell_ = cell;
        if (FT_Init_FreeType(&library_) != 0) return Fail("FreeType cannot start", error);
        FcPattern* wanted = FcNameParse(reinterpret_cast<const FcChar8*>(pattern.c_str()));
        if (!wanted) return Fail("the font pattern \"" + pattern + "\" is not valid", error);
        FcConfigSubstitute(nullptr, wanted, FcMatchPattern);
        FcDefaultSubstitute(wanted);
        FcResult result = FcResultNoMatch;
        set_ = FcFontSort(nullptr, wanted, FcTrue, nullptr, &result);
        FcPatternDestroy(wanted);
        if (set_) {
            for (int i = 0; i < set_->nfont; ++i) {
                Face face;
                FcChar8* file = nullptr;
                int index = 0;
                if (FcPatternGetString(set_->fonts[i], FC_FILE, 0, &file) != FcResultMatch) continue;
                FcPatternGetInteger(set_->fonts[i], FC_INDEX, 0, &index);
                FcPatternGetCharSet(set_->fonts[i], FC_CHARSET, 0, &face.charset);
                face.file = reinterpret_cast<const char*>(file);
                face.index = index;
                faces_.push_back(face);
            }
        }
        // The grid's font sets the size for all: its advance fills a cell.
        for (Face& face : faces_) {
            if (FT_New_Face(library_, face.file.c_str(), face.index, &face.face) != 0 || !FT_IS_SCALABLE(face.face)) {
                face.failed = true;
                continue;
            }
            const FT_UInt m = FT_Get_Char_Index(face.face, 'M');
            if (m == 0 || FT_Load_Glyph(face.face, m, FT_LOAD_NO_SCALE) != 0) {
                face.failed = true;
                continue;
            }
            const double advance = static_cast<double>(face.face->glyph->advance.x) / face.face->units_per_EM;
            pixels_ = static_cast<FT_UInt>(cell / advance + 0.5);
            if (FT_Set_Pixel_Sizes(face.face, 0, pixels_) != 0) {
                face.failed = true;
                continue;
            }
            const int ascent = static_cast<int>((face.face->size->metrics.ascender + 63) / 64);
            const int descent = static_cast<int>((-face.face->size->metrics.descender + 63) / 64);
            baseline_ = (line - ascent - descent) / 2 + ascent;
            if (baseline_ > line - 1) baseline_ = line - 1;
            boxTop_ = baseline_ - static_cast<int>(face.face->size->metrics.ascender * 7 / 10 / 64);
            if (boxTop_ < 0) boxTop_ = 0;
            Box(box_);
            return true;
        }
        return Fail("fontconfig finds no scalable font for \"" + pattern +
                        "\" (fonts-dejavu-core has DejaVu Sans Mono)",
                    error);
    }

    int baseline() const { return baseline_; }

    // The glyph for a code point: from the first font that has it, or the
    // box. It stays valid until the next Trim.
    const Glyph& Find(std::uint32_t codepoint) {
        auto found = glyphs_.find(codepoint);
        if (found != glyphs_.end()) return found->second ? *found->second : box_;
        std::unique_ptr<Glyph>& glyph = glyphs_[codepoint];
        cached_ += kEntryBytes;
        for (Face& face : faces_) {
            if (face.failed || (face.charset && !FcCharSetHasChar(face.charset, codepoint))) continue;
            if (!face.face && !OpenFallback(face)) continue;
            const FT_UInt index = FT_Get_Char_Index(face.face, codepoint);
            if (index == 0) continue;
            auto loaded = std::make_unique<Glyph>();
            if (!Load(face.face, index, *loaded)) continue;
            cached_ += loaded->bits.size();
            glyph = std::move(loaded);
            return *glyph;
        }
        return box_;
    }

    // Empties the cache once it holds more than its bound; the layout calls
    // it between lines, when no cell refers to a glyph.
    void Trim() {
        if (cached_ <= kGlyphCacheBytes) return;
        glyphs_.clear();
        cached_ = 0;
    }

    bool Has(std::uint32_t codepoint) {
        for (Face& face : faces_)
            if (!face.failed && face.charset && FcCharSetHasChar(face.charset, codepoint)) return true;
        return false;
    }

private:
    struct Face {
        std::string file;
        int index = 0;
        FcCharSet* charset = nullptr;  // the font set's
        FT_Face face = nullptr;
        bool failed = false;
    };

    static bool Fail(const std::string& why, std::string& error) {
        error = why;
        return false;
    }

    bool OpenFallback(Face& face) {
        if (FT_New_Face(library_, face.file.c_str(), face.index, &face.face) != 0 || !FT_IS_SCALABLE(face.face) ||
            FT_Set_Pixel_Sizes(face.face, 0, pixels_) != 0) {
            face.failed = true;
            return false;
        }
        return true;
    }

    // Hinted for monochrome and rendered 1 bit a pixel: no grey anywhere.
    bool Load(FT_Face face, FT_UInt index, Glyph& glyph) {
        if (FT_Load_Glyph(face, index, FT_LOAD_TARGET_MONO) != 0 ||
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_MONO) != 0)
            return false;
        const FT_Bitmap& bitmap = face->glyph->bitmap;
        if (bitmap.pixel_mode != FT_PIXEL_MODE_MONO && bitmap.rows != 0) return false;
        glyph.advance = static_cast<int>((face->glyph->advance.x + 32) / 64);
        glyph.cells = glyph.advance * 2 > cell_ * 3 ? 2 : 1;
        glyph.left = face->glyph->bitmap_left;
        glyph.top = face->glyph->bitmap_top;
        glyph.width = static_cast<int>(bitmap.width);
        glyph.rows = static_cast<int>(bitmap.rows);
        glyph.bits.assign(static_cast<size_t>(glyph.width) * glyph.rows, 0);
        for (int y = 0; y < glyph.rows; ++y) {
            const unsigned char* row = bitmap.buffer + static_cast<std::ptrdiff_t>(y) * bitmap.pitch;
            for (int x = 0; x < glyph.width; ++x)
                glyph.bits[static_cast<size_t>(y) * glyph.width + x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
        }
        glyph.ink = std::find(glyph.bits.begin(), glyph.bits.end(), 1) != glyph.bits.end();
        return true;
    }

    // A character no installed font has: an empty box in its cell, one for
    // them all.
    void Box(Glyph& glyph) {
        glyph.cells = 1;
        glyph.advance = cell_;
        glyph.left = 1;
        glyph.width = cell_ - 2;
        glyph.top = baseline_ - boxTop_;
        glyph.rows = glyph.top;
        glyph.bits.assign(static_cast<size_t>(glyph.width) * glyph.rows, 0);
        for (int y = 0; y < glyph.rows; ++y)
            for (int x = 0; x < glyph.width; ++x)
                glyph.bits[static_cast<size_t>(y) * glyph.width + x] =
                    y == 0 || y == glyph.rows - 1 || x == 0 || x == glyph.width - 1;
        glyph.ink = true;
    }

    FT_Library library_ = nullptr;
    FcFontSet* set_ = nullptr;
    std::vector<Face> faces_;
    // Null for a character no font has: it prints as box_.
    std::unordered_map<std::uint32_t, std::unique_ptr<Glyph>> glyphs_;
    static constexpr size_t kEntryBytes = sizeof(Glyph) + 4 * sizeof(void*);
    size_t cached_ = 0;
    Glyph box_;
    FT_UInt pixels_ = 0;
    int cell_ = 0;
    int baseline_ = 0;
    int boxTop_ = 0;
};

// Bytes of a character set to code points; a byte that is no character of
// it becomes U+FFFD and decoding goes on.
class Decoder {
public:
    ~Decoder() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
    }

    bool Open(const std::string& charset) {
        cd_ = iconv_open("UTF-32LE", charset.c_str());
        return cd_ != reinterpret_cast<iconv_t>(-1);
    }

    // Decodes what it can; an incomplete sequence at the end waits for the
    // next bytes, or becomes U+FFFD when `last`.
    template <typename Put>
    bool Feed(const std::uint8_t* data, size_t size, bool last, Put&& put) {
        pending_.insert(pending_.end(), data, data + size);
        char* in = reinterpret_cast<char*>(pending_.data());
        size_t left = pending_.size();
        while (left > 0) {
            char buffer[4096];
            char* out = buffer;
            size_t room = sizeof buffer;
            const size_t done = iconv(cd_, &in, &left, &out, &room);
            const int why = done == static_cast<size_t>(-1) ? errno : 0;
            for (char* p = buffer; p + 4 <= out; p += 4) {
                const auto* b = reinterpret_cast<const unsigned char*>(p);
                if (!put(static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16 | std::uint32_t(b[3]) << 24)))
                    return false;
            }
            if (why == EINVAL && last) {
                // One sequence cut short by the end: one replacement.
                if (!put(kReplacement)) return false;
                left = 0;
            } else if (why == EILSEQ) {
                if (!put(kReplacement)) return false;
                ++in;
                --left;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            } else if (why == EINVAL) {
                break;
            } else if (why != 0 && why != E2BIG) {
                return false;
            }
        }
        pending_.erase(pending_.begin(), pending_.end() - static_cast<std::ptrdiff_t>(left));
        return true;
    }

private:
    iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
    std::vector<std::uint8_t> pending_;
};

// The grid: characters into cells, lines into bands of rows, pages on form
// feeds. Blank lines are held back until ink follows, so none end a page.
class Layout {
public:
    Layout(const Options& options, Fonts& fonts, Emitter& emitter, int cell, int line)
        : options_(options), fonts_(fonts), emitter_(emitter), cell_(cell), line_(line),
          margin_((kDots - options.columns * cell) / 2), cells_(options.columns, nullptr),
          band_(static_cast<size_t>(line) * kDots, 255) {
        skipping_ = !Wanted(page_);
    }

    bool Put(std::uint32_t c) {
        if (Escaped(c)) return true;
        if (c == '\f') {
            const bool going = EndLine() && EndPage();
            ++page_;
            skipping_ = !Wanted(page_);
            return going;
        }
        if (skipping_) return true;
        if (c == '\n') return EndLine();
        if (c == '\t') {
            column_ = std::min(options_.columns, (column_ / 8 + 1) * 8);
            return true;
        }
        // Other controls (NUL, CR of CR LF) print nothing.
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return true;
        hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
        const hb_unicode_general_category_t category = hb_unicode_general_category(unicode, c);
        if (category == HB_UNICODE_GENERAL_CATEGORY_FORMAT) return true;
        if (category == HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK ||
            category == HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK) {
            // With the letter before it: as one character where the font
            // has that, else drawn over the letter's cell. A letter cut at
            // the line's end takes its marks with it.
            if (last_ < 0) return true;
            hb_codepoint_t composed = 0;
            if (hb_unicode_compose(unicode, lastChar_, c, &composed) && fonts_.Has(composed)) {
                lastChar_ = composed;
                cells_[last_] = &fonts_.Find(composed);
            } else if (lastMarks_ < kMarksPerCharacter) {
                marks_.push_back({last_, &fonts_.Find(c)});
                ++lastMarks_;
            } else {
                ++droppedMarks_;
            }
            return true;
        }
        // Past the last column a cut line takes nothing more: no glyph is
        // needed to know that.
        if (!options_.wrap && column_ >= options_.columns) {
            last_ = -1;
            return true;
        }
        const Glyph* glyph = &fonts_.Find(c);
        if (column_ + glyph->cells > options_.columns) {
            if (!options_.wrap) {
                last_ = -1;
                column_ = options_.columns;
                return true;
            }
            // The line's end may empty the cache: found again after it.
            if (!EndLine()) return false;
            glyph = &fonts_.Find(c);
        }
        cells_[column_] = glyph;
        last_ = column_;
        lastChar_ = c;
        lastMarks_ = 0;
        column_ += glyph->cells;
        return true;
    }

    bool Finish() { return (column_ == 0 && last_ < 0 ? true : EndLine()) && EndPage(); }

    // Whether no page after this one is wanted: the rest need not be read.
    bool Done() const {
        if (!skipping_ || options_.pageRanges.empty()) return false;
        for (const auto& range : options_.pageRanges)
            if (range.second > page_) return false;
        return true;
    }

    // Combining marks past kMarksPerCharacter on one character, not printed.
    long droppedMarks() const { return droppedMarks_; }

    static constexpr int kMarksPerCharacter = 8;

private:
    struct Mark {
        int column;
        const Glyph* glyph;
    };

    bool Wanted(long page) const {
        if (options_.pageRanges.empty()) return true;
        for (const auto& range : options_.pageRanges)
            if (page >= range.first && page <= range.second) return true;
        return false;
    }

    // Escape sequences print nothing: ESC and a final byte (after any
    // intermediates: ESC @, ESC ( B), a control sequence (ESC [ or CSI,
    // parameters, a final byte) and a control string (ESC ], P, X, ^ or _
    // or their C1 codes, up to BEL or ST). A byte that cannot continue a
    // sequence ends it and counts as itself; a string not ended by its
    // line's end stops there, so a stray ESC ] loses one line at most.
    bool Escaped(std::uint32_t c) {
        switch (escape_) {
            case Escape::kNone:
                break;
            case Escape::kEsc:
            case Escape::kEscIntermediate:
                if (c >= 0x20 && c <= 0x2F) {
                    escape_ = Escape::kEscIntermediate;
                    return true;
                }
                if (escape_ == Escape::kEsc && c == '[') {
                    escape_ = Escape::kCsi;
                    return true;
                }
                if (escape_ == Escape::kEsc && (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_')) {
                    escape_ = Escape::kString;
                    return true;
                }
                escape_ = Escape::kNone;
                if (c >= 0x30 && c <= 0x7E) return true;
                break;
            case Escape::kCsi:
                if (c >= 0x20 && c <= 0x3F) return true;
                escape_ = Escape::kNone;
                if (c >= 0x40 && c <= 0x7E) return true;
                break;
            case Escape::kString:
                if (c == 0x1B) {
                    escape_ = Escape::kStringEsc;
                    return true;
                }
                if (c == '\n' || c == '\f') {
                    escape_ = Escape::kNone;
                    return false;
                }
                if (c == 0x07 || c == 0x9C || c == 0x18 || c == 0x1A) escape_ = Escape::kNone;
                return true;
            case Escape::kStringEsc:
                // ESC \ is ST; ESC and anything else begins a new sequence.
                escape_ = Escape::kEsc;
                if (c == '\\') {
                    escape_ = Escape::kNone;
                    return true;
                }
                return Escaped(c);
        }
        if (c == 0x1B) {
            escape_ = Escape::kEsc;
        } else if (c == 0x9B) {
            escape_ = Escape::kCsi;
        } else if (c == 0x9D || c == 0x90 || c == 0x98 || c == 0x9E || c == 0x9F) {
            escape_ = Escape::kString;
        } else {
            return false;
        }
        return true;
    }

    bool EndLine() {
        bool ink = false;
        for (const Glyph* glyph : cells_) ink = ink || (glyph && glyph->ink);
        for (const Mark& mark : marks_) ink = ink || mark.glyph->ink;
        if (!ink) {
            ++blank_;
        } else {
            if (!pageOpen_) {
                if (!emitter_.StartPage(true)) return false;
                pageOpen_ = true;
            }
            std::fill(band_.begin(), band_.end(), 255);
            for (; blank_ > 0; --blank_)
                if (!emitter_.Rows(band_.data(), line_)) return false;
            for (int column = 0; column < options_.columns; ++column)
                if (cells_[column]) Draw(*cells_[column], column);
            for (const Mark& mark : marks_) Draw(*mark.glyph, mark.column);
            if (!emitter_.Rows(band_.data(), line_)) return false;
        }
        std::fill(cells_.begin(), cells_.end(), nullptr);
        marks_.clear();
        column_ = 0;
        last_ = -1;
        fonts_.Trim();
        return emitter_.Check();
    }

    bool EndPage() {
        blank_ = 0;
        if (!pageOpen_) return true;
        pageOpen_ = false;
        return emitter_.EndPage();
    }

    // Centred on its cells by its advance, clipped to them.
    void Draw(const Glyph& glyph, int column) {
        const int x0 = margin_ + column * cell_;
        const int x1 = x0 + glyph.cells * cell_;
        const int originX = x0 + (glyph.cells * cell_ - glyph.advance) / 2;
        const int originY = fonts_.baseline();
        for (int y = 0; y < glyph.rows; ++y) {
            const int row = originY - glyph.top + y;
            if (row < 0 || row >= line_) continue;
            for (int x = 0; x < glyph.width; ++x) {
                const int dot = originX + glyph.left + x;
                if (dot >= x0 && dot < x1 && glyph.bits[static_cast<size_t>(y) * glyph.width + x])
                    band_[static_cast<size_t>(row) * kDots + dot] = 0;
            }
        }
    }

    const Options& options_;
    Fonts& fonts_;
    Emitter& emitter_;
    const int cell_, line_, margin_;
    std::vector<const Glyph*> cells_;
    std::vector<Mark> marks_;
    std::vector<std::uint8_t> band_;
    int column_ = 0;
    int last_ = -1;  // the column of the line's last character, for marks
    std::uint32_t lastChar_ = 0;
    int lastMarks_ = 0;  // marks drawn over it
    long droppedMarks_ = 0;
    long blank_ = 0;
    bool pageOpen_ = false;
    long page_ = 1;  // as form feeds count them, printed or blank
    bool skipping_ = false;  // the page is not in page-ranges
    enum class Escape { kNone, kEsc, kEscIntermediate, kCsi, kString, kStringEsc } escape_ = Escape::kNone;
};

}  // namespace

bool KnownCharset(const std::string& charset) {
    const iconv_t cd = iconv_open("UTF-32LE", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    return true;
}

Result RenderText(const ReadFn& read, const Options& options, const Sink& sink, const std::string& name) {
    Result result;
    Emitter emitter(options, sink, result);
    int cell = 0;
    switch (options.columns) {
        case 32: cell = 12; break;
        case 42: cell = 9; break;
        case 48: cell = 8; break;
        default:
            emitter.Fail("columns must be 32, 42 or 48, not " + std::to_string(options.columns));
            return result;
    }
    Decoder decoder;
    if (!decoder.Open(options.charset)) {
        emitter.Fail("the character set \"" + options.charset + "\" is not known (iconv -l lists them)");
        return result;
    }
    Fonts fonts;
    std::string error;
    if (!fonts.Open(options.font, cell, cell * 2, error)) {
        emitter.Fail(error);
        return result;
    }
    Layout layout(options, fonts, emitter, cell, cell * 2);
    std::vector<std::uint8_t> chunk(64 * 1024);
    long long total = 0;
    for (;;) {
        const long got = read(chunk.data(), chunk.size());
        if (got < 0) {
            emitter.Fail("cannot read " + name + ": " + std::strerror(errno));
            return result;
        }
        total += got;
        if (!decoder.Feed(chunk.data(), static_cast<size_t>(got), got == 0,
                          [&](std::uint32_t c) { return layout.Put(c); })) {
            emitter.Fail("cannot decode " + name + " from " + options.charset);
            return result;
        }
        if (got == 0 || layout.Done()) break;
    }
    if (!layout.Finish()) return result;
    if (layout.droppedMarks() > 0 && options.warn)
        options.warn(std::to_string(layout.droppedMarks()) + " combining marks were not printed: a character carries " +
                     std::to_string(Layout::kMarksPerCharacter) + " at most");
    if (result.pages == 0) {
        emitter.Fail(total == 0                     ? name + " is empty: nothing to print"
                     : options.pageRanges.empty() ? name + " holds no printable text"
                                                  : name + " has nothing to print in the pages page-ranges asks for");
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace render

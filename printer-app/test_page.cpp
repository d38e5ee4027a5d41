#include "printer-app/test_page.h"

#include <png.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace app {

namespace {

constexpr unsigned kDots = 384;
constexpr unsigned kRows = 639;  // 80 mm
constexpr unsigned kScale = 2;
constexpr unsigned kDotsPerMetre = 7992;  // 203 dpi

// A 5x7 font: seven rows of five bits, the leftmost dot the highest bit.
struct Glyph {
    char c;
    unsigned char rows[7];
};
const Glyph kFont[] = {
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}}, {'C', {14, 17, 16, 16, 16, 17, 14}},
    {'D', {30, 17, 17, 17, 17, 17, 30}}, {'E', {31, 16, 16, 30, 16, 16, 31}}, {'F', {31, 16, 16, 30, 16, 16, 16}},
    {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}}, {'I', {14, 4, 4, 4, 4, 4, 14}},
    {'J', {7, 2, 2, 2, 2, 18, 12}},      {'K', {17, 18, 20, 24, 20, 18, 17}}, {'L', {16, 16, 16, 16, 16, 16, 31}},
    {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}}, {'O', {14, 17, 17, 17, 17, 17, 14}},
    {'P', {30, 17, 17, 30, 16, 16, 16}}, {'Q', {14, 17, 17, 17, 21, 18, 13}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
    {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},       {'U', {17, 17, 17, 17, 17, 17, 14}},
    {'V', {17, 17, 17, 17, 17, 10, 4}},  {'W', {17, 17, 17, 21, 21, 21, 10}}, {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'Y', {17, 17, 10, 4, 4, 4, 4}},     {'Z', {31, 1, 2, 4, 8, 16, 31}},     {'0', {14, 17, 19, 21, 25, 17, 14}},
    {'1', {4, 12, 4, 4, 4, 4, 14}},      {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},   {'6', {6, 8, 16, 30, 17, 17, 14}},
    {'7', {31, 1, 2, 4, 8, 8, 8}},       {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {'.', {0, 0, 0, 0, 0, 12, 12}},      {'-', {0, 0, 0, 31, 0, 0, 0}},       {':', {0, 12, 12, 0, 12, 12, 0}},
    {'=', {0, 0, 31, 0, 31, 0, 0}},      {'/', {0, 1, 2, 4, 8, 16, 0}},       {'_', {0, 0, 0, 0, 0, 0, 31}},
    {'(', {2, 4, 8, 8, 8, 4, 2}},        {')', {8, 4, 2, 2, 2, 4, 8}},        {' ', {0, 0, 0, 0, 0, 0, 0}},
    {',', {0, 0, 0, 0, 12, 4, 8}},       {'!', {4, 4, 4, 4, 4, 0, 4}},        {'#', {10, 10, 31, 10, 31, 10, 10}},
    {'?', {14, 17, 1, 2, 4, 0, 4}},
};

const Glyph& GlyphOf(char c) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& glyph : kFont)
        if (glyph.c == upper) return glyph;
    return kFont[sizeof kFont / sizeof kFont[0] - 1];
}

// A grey picture as wide as the printed width, one pixel a dot, white = 255.
struct Canvas {
    unsigned height;
    std::vector<unsigned char> pixels;

    explicit Canvas(unsigned h) : height(h), pixels(size_t(kDots) * h, 255) {}

    void Set(unsigned x, unsigned y) {
        if (x < kDots && y < height) pixels[size_t(y) * kDots + x] = 0;
    }
    void Fill(unsigned x, unsigned y, unsigned w, unsigned h) {
        for (unsigned yy = y; yy < y + h; ++yy)
            for (unsigned xx = x; xx < x + w; ++xx) Set(xx, yy);
    }
    // Text centred on the printed width, cut at the width; returns the row below it.
    unsigned Text(const std::string& text, unsigned y) {
        const unsigned advance = 6 * kScale, most = kDots / advance;
        const std::string line = text.size() > most ? text.substr(0, most) : text;
        unsigned x = (kDots - static_cast<unsigned>(line.size()) * advance) / 2;
        for (char c : line) {
            const Glyph& glyph = GlyphOf(c);
            for (unsigned r = 0; r < 7; ++r)
                for (unsigned b = 0; b < 5; ++b)
                    if (glyph.rows[r] & (16 >> b)) Fill(x + b * kScale, y + r * kScale, kScale, kScale);
            x += advance;
        }
        return y + 10 * kScale;
    }
};

void Draw(Canvas& page, const std::string& name) {
    const unsigned bottom = page.height - 8;
    // The frame is the printed width: its sides are dots 0 and 383.
    page.Fill(0, 8, kDots, 2);
    page.Fill(0, bottom - 2, kDots, 2);
    page.Fill(0, 8, 1, bottom - 8);
    page.Fill(kDots - 1, 8, 1, bottom - 8);
    // A millimetre ruler: 8 dots a millimetre, near enough at 203 dpi.
    for (unsigned mm = 0; mm <= 48; ++mm) {
        const unsigned x = mm * kDots / 48 - (mm == 48 ? 1 : 0);
        page.Fill(x, 12, 1, mm % 10 == 0 ? 24 : mm % 5 == 0 ? 16 : 8);
    }
    unsigned y = 52;
    y = page.Text("TEST PAGE", y);
    y = page.Text(name, y + 4);
    y = page.Text("48 MM = 384 DOTS", y + 12);
    y = page.Text("5 MM MARGINS", y);
    page.Text("RASTER58-APP " OEMDLL_APP_VERSION, y + 12);
    // A grey scale would dither; bars of whole dots show the print instead.
    for (unsigned i = 0; i < 8; ++i) page.Fill(i * 48 + 4, y + 48, 40 - i * 4, 40);
}

// An 8-bit grey PNG at 203 dpi: PAPPL prints it at its own size.
bool WritePng(FILE* file, const Canvas& page) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, kDots, page.height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(png, info, kDotsPerMetre, kDotsPerMetre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (unsigned y = 0; y < page.height; ++y) png_write_row(png, &page.pixels[size_t(y) * kDots]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// What the font can print of a client's text: one glyph a character, a
// character it lacks (UTF-8's several bytes included) shown as '?'.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if ((c & 0xc0) == 0x80) continue;  // a UTF-8 continuation byte
        out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace

std::vector<unsigned char> IdentifySlip(const std::string& text, unsigned& rows) {
    Canvas slip(36);
    slip.Fill(0, 0, kDots, 3);
    slip.Text(Printable(text), 11);
    slip.Fill(0, 33, kDots, 3);
    rows = slip.height;
    std::vector<unsigned char> bits(size_t(kDots / 8) * rows, 0xff);
    for (unsigned y = 0; y < rows; ++y)
        for (unsigned x = 0; x < kDots; ++x)
            if (slip.pixels[size_t(y) * kDots + x] < 128)
                bits[size_t(y) * (kDots / 8) + x / 8] &= static_cast<unsigned char>(~(0x80 >> (x % 8)));
    return bits;
}

const char* TestPage(pappl_printer_t* printer, char* buffer, size_t size) {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/raster58-testpage-XXXXXX.png";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), 4);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        close(fd);
        unlink(name.data());
        return nullptr;
    }
    Canvas page(kRows);
    Draw(page, papplPrinterGetName(printer));
    bool ok = WritePng(file, page);
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        unlink(name.data());
        return nullptr;
    }
    std::snprintf(buffer, size, "%s", name.data());
    return buffer;
}

}  // namespace app

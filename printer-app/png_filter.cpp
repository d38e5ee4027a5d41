#include "printer-app/png_filter.h"

#include "printer-app/raster_job.h"
#include "printer-app/system_setup.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace app {

namespace {

struct Reader {
    std::string error;
};

void OnError(png_structp png, png_const_charp message) {
    static_cast<Reader*>(png_get_error_ptr(png))->error = message;
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

struct Picture {
    png_uint_32 width = 0, rows = 0;
    int depth = 1;  // bytes a pixel: 1 grey, 3 RGB
    int ppi = 0;  // 0: none given
    bool square = true;
    std::vector<png_byte> pixels;
};

// Reads the picture whole; returns why it cannot be printed, or "".
// setjmp's frame holds nothing that needs destroying but libpng's own.
std::string Decode(FILE* file, Picture& out) {
    Reader reader;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "the PNG cannot be decoded: out of memory";
    }
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "the PNG cannot be decoded: " + (reader.error.empty() ? std::string("unreadable") : reader.error);
    }
    png_init_io(png, file);
#if defined(PNG_SKIP_sRGB_CHECK_PROFILE) && defined(PNG_SET_OPTION_SUPPORTED)
    png_set_option(png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
#endif
    png_read_info(png, info);
    out.width = png_get_image_width(png, info);
    out.rows = png_get_image_height(png, info);
    if (out.width > static_cast<png_uint_32>(kMaxPictureSide) || out.rows > static_cast<png_uint_32>(kMaxPictureSide) ||
        static_cast<size_t>(out.width) * out.rows > kMaxPicturePixels) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "the picture is " + std::to_string(out.width) + "x" + std::to_string(out.rows) + " pixels, over the " +
               std::to_string(kMaxPictureSide) + " a side and " + std::to_string(kMaxPicturePixels) +
               " pixels in all a 384-dot printer takes";
    }
    const png_byte type = png_get_color_type(png, info);
    const bool alpha = (type & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    out.depth = (type & PNG_COLOR_MASK_COLOR) ? 3 : 1;
    const png_uint_32 xppi = png_get_x_pixels_per_inch(png, info), yppi = png_get_y_pixels_per_inch(png, info);
    out.square = xppi == yppi;
    out.ppi = static_cast<int>(xppi);

    // Palettes to RGB, fewer than 8 bits to 8, transparency to alpha, and
    // alpha composed over white in the 8-bit values the printer gets.
    png_set_expand(png);
    png_set_scale_16(png);
    if (alpha) {
        png_color_16 white{};
        white.red = white.green = white.blue = white.gray = 255;
        png_set_background(png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t stride = static_cast<size_t>(out.width) * static_cast<size_t>(out.depth);
    if (png_get_rowbytes(png, info) != stride) png_error(png, "unexpected row layout after conversion");
    out.pixels.assign(stride * out.rows, 0xff);
    rows.resize(out.rows);
    for (png_uint_32 y = 0; y < out.rows; ++y) rows[y] = out.pixels.data() + y * stride;
    for (int pass = 0; pass < passes; ++pass) png_read_rows(png, rows.data(), nullptr, out.rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
}

}  // namespace

bool PrintPng(pappl_job_t* job, pappl_device_t* device, void*) {
    const char* name = papplJobGetFilename(job);
    std::unique_ptr<FILE, int (*)(FILE*)> file(name ? std::fopen(name, "rb") : nullptr, std::fclose);
    if (!file) return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "cannot open the spooled PNG");
    Picture picture;
    const std::string why = Decode(file.get(), picture);
    file.reset();
    if (!why.empty()) return RefuseJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, why);
    if (!picture.square)
        return RefuseJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                      "the PNG's pixels are not square (its horizontal and vertical resolutions differ)");

    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, picture.depth == 3);
    if (!options) return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "out of memory");
    const bool printed = papplJobFilterImage(job, device, options, picture.pixels.data(), static_cast<int>(picture.width),
                                             static_cast<int>(picture.rows), picture.depth, picture.ppi, false);
    papplJobDeletePrintOptions(options);
    return printed;
}

}  // namespace app

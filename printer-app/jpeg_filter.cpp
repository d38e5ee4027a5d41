#include "printer-app/jpeg_filter.h"

#include "printer-app/raster_job.h"
#include "printer-app/system_setup.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>
#include <memory>
#include <string>

#include <jpeglib.h>
#include <jerror.h>

namespace app {

namespace {

struct Errors {
    jpeg_error_mgr manager;  // first: libjpeg's pointer is to it
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
    bool cut = false;  // the data ended before the picture did
};

void OnError(j_common_ptr info) {
    Errors* errors = reinterpret_cast<Errors*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->back, 1);
}

// libjpeg goes on past the end of the data, padding the picture with grey,
// and only warns.
void OnMessage(j_common_ptr info, int level) {
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) reinterpret_cast<Errors*>(info->err)->cut = true;
}

struct Picture {
    int width = 0, rows = 0;
    int depth = 1;  // bytes a pixel: 1 grey, 3 RGB
    int ppi = 0;    // 0: none given
    bool square = true;
    int orientation = 1;
    std::vector<unsigned char> pixels;
};

constexpr int kApp1 = JPEG_APP0 + 1;

int ExifOrientation(const unsigned char* data, std::size_t size);

// Reads the picture whole; returns why it cannot be printed, or "".
// setjmp's frame holds nothing that needs destroying but libjpeg's own.
std::string Decode(FILE* file, Picture& out) {
    jpeg_decompress_struct info;
    Errors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = OnError;
    errors.manager.emit_message = OnMessage;
    errors.message[0] = '\0';
    if (setjmp(errors.back)) {
        jpeg_destroy_decompress(&info);
        return std::string("the JPEG cannot be decoded: ") + (errors.message[0] ? errors.message : "unreadable");
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_save_markers(&info, kApp1, 0xffff);
    jpeg_read_header(&info, TRUE);
    for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next)
        if (m->marker == kApp1 && out.orientation == 1) out.orientation = ExifOrientation(m->data, m->data_length);

    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        return "the JPEG is in CMYK, made for a press; the printer takes greyscale or RGB (sRGB) pictures";
    }
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    info.quantize_colors = FALSE;
    jpeg_calc_output_dimensions(&info);
    out.width = static_cast<int>(info.output_width);
    out.rows = static_cast<int>(info.output_height);
    out.depth = info.output_components;
    if (info.output_width > static_cast<JDIMENSION>(kMaxPictureSide) ||
        info.output_height > static_cast<JDIMENSION>(kMaxPictureSide) ||
        static_cast<size_t>(info.output_width) * info.output_height > kMaxPicturePixels) {
        jpeg_destroy_decompress(&info);
        return "the picture is " + std::to_string(out.width) + "x" + std::to_string(out.rows) + " pixels, over the " +
               std::to_string(kMaxPictureSide) + " a side and " + std::to_string(kMaxPicturePixels) +
               " pixels in all a 384-dot printer takes";
    }
    if (info.density_unit == 1 || info.density_unit == 2) {
        out.square = info.X_density == info.Y_density;
        out.ppi = info.density_unit == 1 ? info.X_density : info.X_density * 254 / 100;
    }
    const size_t stride = static_cast<size_t>(out.width) * static_cast<size_t>(out.depth);
    out.pixels.assign(stride * static_cast<size_t>(out.rows), 0xff);
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.pixels.data() + info.output_scanline * stride;
        if (jpeg_read_scanlines(&info, &row, 1) != 1) break;
    }
    const bool cut = errors.cut;
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return cut ? "the JPEG is cut short: its data ends before the picture does" : "";
}

unsigned Read(const unsigned char* at, int bytes, bool big) {
    unsigned v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<unsigned>(at[big ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return v;
}

// The EXIF orientation (1 to 8) an APP1 marker's contents give, or 1.
int ExifOrientation(const unsigned char* data, std::size_t size) {
    // "Exif\0\0", then a TIFF header: byte order, 42, the first IFD's offset.
    if (size < 14 || std::memcmp(data, "Exif\0\0", 6) != 0) return 1;
    const unsigned char* tiff = data + 6;
    const std::size_t length = size - 6;
    const bool big = tiff[0] == 'M' && tiff[1] == 'M';
    if (!big && !(tiff[0] == 'I' && tiff[1] == 'I')) return 1;
    if (Read(tiff + 2, 2, big) != 42) return 1;
    const std::size_t ifd = Read(tiff + 4, 4, big);
    if (ifd > length || length - ifd < 2) return 1;
    const std::size_t entries = Read(tiff + ifd, 2, big);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t at = ifd + 2 + 12 * i;
        if (at > length || length - at < 12) break;
        // Tag 0x0112, a SHORT, one value, kept in the entry itself.
        if (Read(tiff + at, 2, big) != 0x0112) continue;
        if (Read(tiff + at + 2, 2, big) != 3 || Read(tiff + at + 4, 4, big) != 1) return 1;
        const unsigned value = Read(tiff + at + 8, 2, big);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

// The upright picture of pixels stored as EXIF orientation `orientation`
// says; width and height swapped for the quarter turns.
std::vector<unsigned char> Upright(const std::vector<unsigned char>& pixels, int& width, int& height, int depth,
                                   int orientation) {
    if (orientation < 2 || orientation > 8) return pixels;
    const int w = width, h = height;
    const bool turned = orientation >= 5;  // the stored rows are the picture's columns
    const int ow = turned ? h : w, oh = turned ? w : h;
    std::vector<unsigned char> out(pixels.size());
    for (int y = 0; y < oh; ++y) {
        for (int x = 0; x < ow; ++x) {
            int sx = x, sy = y;  // where the upright pixel (x, y) is stored
            switch (orientation) {
                case 2: sx = w - 1 - x; break;
                case 3: sx = w - 1 - x; sy = h - 1 - y; break;
                case 4: sy = h - 1 - y; break;
                case 5: sx = y; sy = x; break;
                case 6: sx = y; sy = h - 1 - x; break;
                case 7: sx = w - 1 - y; sy = h - 1 - x; break;
                case 8: sx = w - 1 - y; sy = x; break;
            }
            std::memcpy(&out[(static_cast<size_t>(y) * ow + x) * depth],
                        &pixels[(static_cast<size_t>(sy) * w + sx) * depth], static_cast<size_t>(depth));
        }
    }
    width = ow;
    height = oh;
    return out;
}

}  // namespace

bool PrintJpeg(pappl_job_t* job, pappl_device_t* device, void*) {
    const char* name = papplJobGetFilename(job);
    std::unique_ptr<FILE, int (*)(FILE*)> file(name ? std::fopen(name, "rb") : nullptr, std::fclose);
    if (!file) return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "cannot open the spooled JPEG");
    Picture picture;
    const std::string why = Decode(file.get(), picture);
    file.reset();
    if (!why.empty())
        return RefuseJob(job, why.find("CMYK") != std::string::npos ? PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR
                                                                     : PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                         why);
    if (!picture.square)
        return RefuseJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                         "the JPEG's pixels are not square (its horizontal and vertical resolutions differ)");
    if (picture.orientation != 1) {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "JPEG stored in EXIF orientation %d, turned upright.",
                    picture.orientation);
        picture.pixels = Upright(picture.pixels, picture.width, picture.rows, picture.depth, picture.orientation);
    }

    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, picture.depth == 3);
    if (!options) return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "out of memory");
    const bool printed = papplJobFilterImage(job, device, options, picture.pixels.data(), picture.width, picture.rows,
                                             picture.depth, picture.ppi, true);
    papplJobDeletePrintOptions(options);
    return printed;
}

}  // namespace app

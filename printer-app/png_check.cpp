#include "printer-app/png_check.h"

#include "printer-app/system_setup.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace app {

namespace {

std::mutex gLock;
std::map<int, std::string> gRefused;

struct Reader {
    std::string error;
};

void OnError(png_structp png, png_const_charp message) {
    static_cast<Reader*>(png_get_error_ptr(png))->error = message;
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Reads the whole picture a row at a time; returns why it cannot be
// printed (libpng's complaint, or its size), or an empty string.
std::string Decode(FILE* file) {
    Reader reader;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "the PNG cannot be decoded: out of memory";
    }
    std::vector<png_byte> row;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "the PNG cannot be decoded: " + (reader.error.empty() ? std::string("unreadable") : reader.error);
    }
    png_init_io(png, file);
    png_read_info(png, info);
    // Refused before a row is inflated: PAPPL would hold the whole picture.
    const png_uint_32 width = png_get_image_width(png, info), rows = png_get_image_height(png, info);
    if (width > static_cast<png_uint_32>(kMaxPictureSide) || rows > static_cast<png_uint_32>(kMaxPictureSide) ||
        static_cast<size_t>(width) * rows > kMaxPicturePixels) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "the picture is " + std::to_string(width) + "x" + std::to_string(rows) + " pixels, over the " +
               std::to_string(kMaxPictureSide) + " a side and " + std::to_string(kMaxPicturePixels) +
               " pixels in all a 384-dot printer takes";
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    row.resize(png_get_rowbytes(png, info));
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < rows; ++y) png_read_row(png, row.data(), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
}

void OnWriteError(png_structp png, png_const_charp) {
    png_longjmp(static_cast<png_structp>(png_get_error_ptr(png)), 1);
}

// Rewrites a PNG of fewer than 8 bits a sample at 8 bits, a row at a time:
// PAPPL 1.3.1 prints a 1-bit grey PNG black. Interlaced ones are left.
void Widen(const char* name) {
    FILE* in = std::fopen(name, "rb");
    if (!in) return;
    const std::string temporary = std::string(name) + ".8bit";
    FILE* volatile out = nullptr;
    Reader reader;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    png_structp writer = png ? png_create_write_struct(PNG_LIBPNG_VER_STRING, png, OnWriteError, OnWarning) : nullptr;
    png_infop written = writer ? png_create_info_struct(writer) : nullptr;
    std::vector<png_byte> row;
    volatile bool done = false;
    if (written && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, in);
        png_read_info(png, info);
        if (png_get_bit_depth(png, info) < 8 && png_get_interlace_type(png, info) == PNG_INTERLACE_NONE &&
            (out = std::fopen(temporary.c_str(), "wb")) != nullptr) {
            png_set_expand(png);
            png_read_update_info(png, info);
            png_init_io(writer, out);
            png_set_IHDR(writer, written, png_get_image_width(png, info), png_get_image_height(png, info), 8,
                         png_get_color_type(png, info), PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                         PNG_FILTER_TYPE_DEFAULT);
            png_uint_32 x = 0, y = 0;
            int unit = 0;
            if (png_get_pHYs(png, info, &x, &y, &unit)) png_set_pHYs(writer, written, x, y, unit);
            png_write_info(writer, written);
            row.resize(png_get_rowbytes(png, info));
            for (png_uint_32 r = 0; r < png_get_image_height(png, info); ++r) {
                png_read_row(png, row.data(), nullptr);
                png_write_row(writer, row.data());
            }
            png_write_end(writer, nullptr);
            done = true;
        }
    }
    png_destroy_write_struct(&writer, &written);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(in);
    if (out && std::fclose(out) == 0 && done) {
        std::rename(temporary.c_str(), name);
    } else if (out) {
        std::remove(temporary.c_str());
    }
}

// A 1x1 white PNG: what PAPPL decodes in place of a refused picture.
const unsigned char kBlank[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x3a, 0x7e, 0x9b, 0x55, 0x00,
    0x00, 0x00, 0x0a, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0x0f, 0x00, 0x01, 0x01, 0x01, 0x00,
    0xb1, 0x38, 0xf6, 0x14, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82,
};

}  // namespace

void CheckPngJobs(pappl_system_t*, pappl_printer_t*, pappl_job_t* job, pappl_event_t event, void*) {
    if (!job || !(event & PAPPL_EVENT_JOB_STATE_CHANGED) || papplJobGetState(job) != IPP_JSTATE_PROCESSING) return;
    const char* format = papplJobGetFormat(job);
    const char* name = papplJobGetFilename(job);
    if (!format || std::strcmp(format, "image/png") != 0 || !name) return;
    FILE* file = std::fopen(name, "rb");
    if (!file) return;
    const std::string error = Decode(file);
    std::fclose(file);
    if (error.empty()) {
        Widen(name);
        return;
    }
    file = std::fopen(name, "wb");
    if (file) {
        std::fwrite(kBlank, 1, sizeof kBlank, file);
        std::fclose(file);
    }
    std::lock_guard<std::mutex> hold(gLock);
    gRefused[papplJobGetID(job)] = error;
}

std::string TakePngRefusal(int job_id) {
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gRefused.find(job_id);
    if (it == gRefused.end()) return "";
    std::string why = it->second;
    gRefused.erase(it);
    return why;
}

}  // namespace app

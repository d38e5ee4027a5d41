#include "printer-app/png_check.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
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

// Reads the whole picture a row at a time; returns libpng's complaint, or
// an empty string when it decodes.
std::string Decode(FILE* file) {
    Reader reader;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "out of memory";
    }
    std::vector<png_byte> row;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return reader.error.empty() ? "unreadable" : reader.error;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    row.resize(png_get_rowbytes(png, info));
    const png_uint_32 height = png_get_image_height(png, info);
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, row.data(), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
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
    if (error.empty()) return;
    file = std::fopen(name, "wb");
    if (file) {
        std::fwrite(kBlank, 1, sizeof kBlank, file);
        std::fclose(file);
    }
    std::lock_guard<std::mutex> hold(gLock);
    gRefused[papplJobGetID(job)] = "the PNG cannot be decoded: " + error;
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

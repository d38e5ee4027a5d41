#include "tools/common/picture_writer.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "tools/common/printer_stream.h"

#ifdef _WIN32
// The Windows build has no libpng: stb's deflate, over the 1-bit rows held
// until the end.
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#include <climits>
#else
#include <png.h>
#endif

namespace tools {

namespace {

constexpr std::size_t kRowBytes = kStreamRowBytes;
constexpr std::uint64_t kPngMaxRows = 0x7FFFFFFF;  // PNG sizes are 31-bit
#ifdef _WIN32
// stb compresses one buffer whose size is an int: the filter byte and the
// row for every row.
constexpr std::uint64_t kStbMaxRows = INT_MAX / (kRowBytes + 1);
#endif

}  // namespace

struct PictureWriter::State {
    std::FILE* file = nullptr;
    std::string name;
    PictureFormat format = PictureFormat::kPng;
    std::uint64_t rows = 0;
    std::uint64_t written = 0;
    std::string error;
    std::uint8_t row[kRowBytes] = {};
#ifdef _WIN32
    std::vector<std::uint8_t> filtered;
#else
    png_structp png = nullptr;
    png_infop info = nullptr;
    int writeErrno = 0;
    char pngMessage[160] = {};
#endif

    bool WriteFailed() {
        error = "cannot write " + name + ": " + std::strerror(errno);
        return false;
    }
};

namespace {

#ifdef _WIN32
void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

bool WriteChunk(std::FILE* file, const char* type, const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> head;
    PutBig32(head, static_cast<std::uint32_t>(size));
    head.insert(head.end(), type, type + 4);
    std::uint32_t crc = Crc32(head.data() + 4, 4);
    crc = Crc32(data, size, crc);
    std::vector<std::uint8_t> tail;
    PutBig32(tail, crc);
    return std::fwrite(head.data(), 1, head.size(), file) == head.size() &&
           (size == 0 || std::fwrite(data, 1, size, file) == size) && std::fwrite(tail.data(), 1, 4, file) == 4;
}
#else
void PngWrite(png_structp png, png_bytep data, png_size_t size) {
    auto* state = static_cast<PictureWriter::State*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, size, state->file) != size) {
        state->writeErrno = errno;
        png_error(png, "write failed");
    }
}

void PngFlush(png_structp) {}

void PngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PictureWriter::State*>(png_get_error_ptr(png));
    std::snprintf(state->pngMessage, sizeof state->pngMessage, "%s", message);
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// Each libpng call returns here on error; nothing with a destructor lives
// in these frames.
bool PngStart(PictureWriter::State& s) {
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, PngError, PngWarning);
    if (!s.png) return false;
    s.info = png_create_info_struct(s.png);
    if (!s.info) return false;
    if (setjmp(png_jmpbuf(s.png))) return false;
    png_set_write_fn(s.png, &s, PngWrite, PngFlush);
    // libpng refuses pictures over a million rows unless told otherwise.
    png_set_user_limits(s.png, kStreamMaxDots, static_cast<png_uint_32>(kPngMaxRows));
    png_set_IHDR(s.png, s.info, kStreamMaxDots, static_cast<png_uint_32>(s.rows), 1, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(s.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(s.png, 1);
    png_write_info(s.png, s.info);
    return true;
}

bool PngRow(PictureWriter::State& s) {
    if (setjmp(png_jmpbuf(s.png))) return false;
    png_write_row(s.png, s.row);
    return true;
}

bool PngEnd(PictureWriter::State& s) {
    if (setjmp(png_jmpbuf(s.png))) return false;
    png_write_end(s.png, nullptr);
    return true;
}
#endif

}  // namespace

PictureFormat PictureFormatFor(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".pbm") == 0 ? PictureFormat::kPbm
                                                                              : PictureFormat::kPng;
}

std::uint64_t MaxPictureRows(PictureFormat format, std::string* limit) {
    if (format == PictureFormat::kPbm) return UINT64_MAX;
#ifdef _WIN32
    if (limit) *limit = "the Windows build writes PNG pictures of at most " + std::to_string(kStbMaxRows) + " rows";
    return kStbMaxRows;
#else
    if (limit) *limit = "a PNG picture holds at most " + std::to_string(kPngMaxRows) + " rows";
    return kPngMaxRows;
#endif
}

PictureWriter::PictureWriter() : state_(new State) {}

PictureWriter::~PictureWriter() {
#ifndef _WIN32
    if (state_->png) png_destroy_write_struct(&state_->png, state_->info ? &state_->info : nullptr);
#endif
}

bool PictureWriter::Start(std::FILE* file, const std::string& name, PictureFormat format, std::uint64_t rows,
                          std::string& error) {
    State& s = *state_;
    s.file = file;
    s.name = name;
    s.format = format;
    s.rows = rows;
    std::string limit;
    if (rows == 0 || rows > MaxPictureRows(format, &limit)) {
        error = rows == 0 ? "no rows to draw in " + name
                          : "cannot draw " + std::to_string(rows) + " rows in " + name + ": " + limit;
        return false;
    }
    if (format == PictureFormat::kPbm) {
        const std::string header = "P4\n" + std::to_string(kStreamMaxDots) + " " + std::to_string(rows) + "\n";
        if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
            s.WriteFailed();
            error = s.error;
            return false;
        }
        return true;
    }
#ifdef _WIN32
    try {
        s.filtered.reserve(static_cast<std::size_t>(rows) * (kRowBytes + 1));
    } catch (const std::bad_alloc&) {
        error = "not enough memory to draw " + std::to_string(rows) + " rows in " + name;
        return false;
    }
#else
    if (!PngStart(s)) {
        error = s.writeErrno ? "cannot write " + name + ": " + std::strerror(s.writeErrno)
                             : "cannot encode " + name + " as PNG: " + s.pngMessage;
        return false;
    }
#endif
    return true;
}

bool PictureWriter::Row(const std::uint8_t* bits, unsigned dots) {
    State& s = *state_;
    if (!s.error.empty()) return false;
    if (s.written == s.rows) {
        s.error = "more rows than announced for " + s.name;
        return false;
    }
    ++s.written;
    const std::size_t length = (dots + 7) / 8;
    std::memcpy(s.row, bits, length);
    std::memset(s.row + length, 0, kRowBytes - length);
    if (dots % 8) s.row[length - 1] &= static_cast<std::uint8_t>(0xFF << (8 - dots % 8));
    if (s.format == PictureFormat::kPbm) return std::fwrite(s.row, 1, kRowBytes, s.file) == kRowBytes || s.WriteFailed();
    // A PNG's grey 0 is black.
    for (std::uint8_t& b : s.row) b = static_cast<std::uint8_t>(~b);
#ifdef _WIN32
    s.filtered.push_back(0);
    s.filtered.insert(s.filtered.end(), s.row, s.row + kRowBytes);
    return true;
#else
    if (PngRow(s)) return true;
    s.error = s.writeErrno ? "cannot write " + s.name + ": " + std::strerror(s.writeErrno)
                           : "cannot encode " + s.name + " as PNG: " + s.pngMessage;
    return false;
#endif
}

bool PictureWriter::Finish(std::string& error) {
    State& s = *state_;
    if (s.error.empty() && s.written != s.rows)
        s.error = s.name + " got " + std::to_string(s.written) + " of " + std::to_string(s.rows) + " rows";
    if (s.error.empty() && s.format == PictureFormat::kPng) {
#ifdef _WIN32
        int size = 0;
        unsigned char* packed = stbi_zlib_compress(s.filtered.data(), static_cast<int>(s.filtered.size()), &size, 8);
        if (!packed) {
            s.error = "cannot encode " + s.name + " as PNG: out of memory";
        } else {
            static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
            std::vector<std::uint8_t> header;
            PutBig32(header, kStreamMaxDots);
            PutBig32(header, static_cast<std::uint32_t>(s.rows));
            header.insert(header.end(), {1, 0, 0, 0, 0});  // 1-bit grey, deflate, no interlace
            const bool written = std::fwrite(kSignature, 1, 8, s.file) == 8 &&
                                 WriteChunk(s.file, "IHDR", header.data(), header.size()) &&
                                 WriteChunk(s.file, "IDAT", packed, static_cast<std::size_t>(size)) &&
                                 WriteChunk(s.file, "IEND", nullptr, 0);
            STBIW_FREE(packed);
            if (!written) s.WriteFailed();
        }
#else
        if (!PngEnd(s))
            s.error = s.writeErrno ? "cannot write " + s.name + ": " + std::strerror(s.writeErrno)
                                   : "cannot encode " + s.name + " as PNG: " + s.pngMessage;
#endif
    }
    if (s.error.empty() && std::fflush(s.file) != 0) s.WriteFailed();
    error = s.error;
    return error.empty();
}

}  // namespace tools

#include "tools/common/image.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
#include <stb_image.h>
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace tools {

namespace {

// Pages larger than this are refused rather than exhausting memory.
constexpr long kMaxDimension = 1 << 16;
constexpr long long kMaxDots = 1LL << 28;

void SetBinary(std::FILE* file) {
#ifdef _WIN32
    _setmode(_fileno(file), _O_BINARY);
#else
    (void)file;
#endif
}

// Netpbm: a header of whitespace-separated numbers with # comments, then
// the raster, plain (P1-P3) or raw (P4-P6).
class NetpbmReader {
public:
    NetpbmReader(const std::vector<std::uint8_t>& bytes, size_t start, const std::string& name)
        : b_(bytes), name_(name), pos_(start) {}

    // Where the image read last ended.
    size_t end() const { return pos_; }

    bool Read(GreyImage& image, std::string& error) {
        const int kind = b_[pos_ + 1] - '0';
        pos_ += 2;
        long width = 0, height = 0, maxval = 1;
        if (!Number(width, "width", error) || !Number(height, "height", error)) return false;
        if (kind != 1 && kind != 4 && !Number(maxval, "maximum value", error)) return false;
        if (width <= 0 || height <= 0) return Fail(error, "has a zero-sized image (" + Dims(width, height) + ")");
        if (width > kMaxDimension || height > kMaxDimension || (long long)width * height > kMaxDots)
            return Fail(error, "is too large (" + Dims(width, height) + ")");
        if (maxval < 1 || maxval > 65535) return Fail(error, "has an invalid maximum value " + std::to_string(maxval));

        image.width = width;
        image.height = height;
        image.bilevel = kind == 1 || kind == 4;
        image.grey.assign(static_cast<size_t>(width * height), 255);
        const size_t dots = image.grey.size();
        if (kind <= 3) {
            const int channels = kind == 3 ? 3 : 1;
            for (size_t i = 0; i < dots; ++i) {
                long v[3] = {0, 0, 0};
                for (int c = 0; c < channels; ++c) {
                    if (kind == 1 ? !Bit(v[c], error) : !Number(v[c], "sample", error)) return false;
                    if (v[c] > maxval) return Fail(error, "has a sample above its maximum value");
                }
                image.grey[i] = kind == 1 ? (v[0] ? 0 : 255) : Grey(v, channels, maxval);
            }
            return true;
        }
        // One whitespace byte ends the header of a raw file.
        ++pos_;
        if (kind == 4) {
            const size_t rowBytes = static_cast<size_t>((width + 7) / 8);
            if (b_.size() < pos_ || b_.size() - pos_ < rowBytes * static_cast<size_t>(height))
                return Fail(error, "is truncated: the raster needs " + std::to_string(rowBytes * height) +
                                       " bytes, " + std::to_string(b_.size() > pos_ ? b_.size() - pos_ : 0) + " are there");
            for (long y = 0; y < height; ++y)
                for (long x = 0; x < width; ++x) {
                    const std::uint8_t byte = b_[pos_ + static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x / 8)];
                    image.grey[static_cast<size_t>(y * width + x)] = (byte & (0x80 >> (x % 8))) ? 0 : 255;
                }
            pos_ += rowBytes * static_cast<size_t>(height);
            return true;
        }
        const int channels = kind == 6 ? 3 : 1;
        const size_t sampleBytes = maxval > 255 ? 2 : 1;
        const size_t need = dots * static_cast<size_t>(channels) * sampleBytes;
        if (b_.size() < pos_ || b_.size() - pos_ < need)
            return Fail(error, "is truncated: the raster needs " + std::to_string(need) + " bytes, " +
                                   std::to_string(b_.size() > pos_ ? b_.size() - pos_ : 0) + " are there");
        const std::uint8_t* p = b_.data() + pos_;
        for (size_t i = 0; i < dots; ++i) {
            long v[3] = {0, 0, 0};
            for (int c = 0; c < channels; ++c) {
                v[c] = sampleBytes == 2 ? (p[0] << 8 | p[1]) : p[0];
                p += sampleBytes;
                if (v[c] > maxval) return Fail(error, "has a sample above its maximum value");
            }
            image.grey[i] = Grey(v, channels, maxval);
        }
        pos_ += need;
        return true;
    }

    // Whether another image follows, as when a converter writes every page
    // of a document to one stream.
    bool AnotherFollows() {
        SkipSpace();
        return pos_ + 1 < b_.size() && b_[pos_] == 'P' && b_[pos_ + 1] >= '1' && b_[pos_ + 1] <= '6';
    }

private:
    static std::string Dims(long w, long h) { return std::to_string(w) + "x" + std::to_string(h); }

    bool Fail(std::string& error, const std::string& what) {
        error = name_ + " " + what;
        return false;
    }

    void SkipSpace() {
        while (pos_ < b_.size()) {
            if (b_[pos_] == '#') {
                while (pos_ < b_.size() && b_[pos_] != '\n') ++pos_;
            } else if (std::isspace(b_[pos_])) {
                ++pos_;
            } else {
                break;
            }
        }
    }

    bool Number(long& value, const char* what, std::string& error) {
        SkipSpace();
        if (pos_ >= b_.size()) return Fail(error, std::string("is truncated: no ") + what);
        if (!std::isdigit(b_[pos_])) return Fail(error, std::string("has no valid ") + what);
        value = 0;
        while (pos_ < b_.size() && std::isdigit(b_[pos_])) {
            value = value * 10 + (b_[pos_++] - '0');
            if (value > std::numeric_limits<int>::max()) return Fail(error, std::string("has an invalid ") + what);
        }
        return true;
    }

    // A P1 sample: a single 0 or 1, with or without whitespace between.
    bool Bit(long& value, std::string& error) {
        SkipSpace();
        if (pos_ >= b_.size()) return Fail(error, "is truncated: the raster ends early");
        if (b_[pos_] != '0' && b_[pos_] != '1') return Fail(error, "has an invalid sample");
        value = b_[pos_++] - '0';
        return true;
    }

    static std::uint8_t Grey(const long* v, int channels, long maxval) {
        const double luma = channels == 3 ? 0.299 * v[0] + 0.587 * v[1] + 0.114 * v[2] : double(v[0]);
        return static_cast<std::uint8_t>(std::min(255.0, luma * 255.0 / double(maxval) + 0.5));
    }

    const std::vector<std::uint8_t>& b_;
    const std::string& name_;
    size_t pos_;
};

bool DecodePng(const std::vector<std::uint8_t>& bytes, const std::string& name, GreyImage& image,
               std::string& error) {
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height, &channels)) {
        error = name + " is not a readable PNG image: " + stbi_failure_reason();
        return false;
    }
    if (width <= 0 || height <= 0) {
        error = name + " has a zero-sized image";
        return false;
    }
    if (width > kMaxDimension || height > kMaxDimension || (long long)width * height > kMaxDots) {
        error = name + " is too large (" + std::to_string(width) + "x" + std::to_string(height) + ")";
        return false;
    }
    // Grey with alpha, so that transparent areas can be laid on white.
    stbi_uc* pixels = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height,
                                            &channels, 2);
    if (!pixels) {
        error = name + " is not a readable PNG image: " + stbi_failure_reason();
        return false;
    }
    image.width = width;
    image.height = height;
    image.grey.resize(static_cast<size_t>(width) * height);
    bool bilevel = true;
    for (size_t i = 0; i < image.grey.size(); ++i) {
        const int g = pixels[2 * i], a = pixels[2 * i + 1];
        const int v = (g * a + 255 * (255 - a) + 127) / 255;
        image.grey[i] = static_cast<std::uint8_t>(v);
        bilevel = bilevel && (v == 0 || v == 255);
    }
    image.bilevel = bilevel;
    stbi_image_free(pixels);
    return true;
}

void AppendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

bool ReadInput(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    const bool stdinput = path == "-";
    std::FILE* file = stdinput ? stdin : std::fopen(path.c_str(), "rb");
    const std::string name = stdinput ? "standard input" : path;
    if (!file) {
        error = "cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
    if (stdinput) SetBinary(stdin);
    bytes.clear();
    std::uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    if (!stdinput) std::fclose(file);
    if (failed) {
        error = "cannot read " + name + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

bool DecodeImages(const std::vector<std::uint8_t>& bytes, const std::string& name, std::vector<GreyImage>& images,
                  std::string& error) {
    static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    images.clear();
    if (bytes.empty()) {
        error = name + " is empty";
        return false;
    }
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kPng, 8) == 0) {
        images.emplace_back();
        return DecodePng(bytes, name, images.back(), error);
    }
    if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6') {
        for (size_t start = 0;;) {
            const std::string which =
                images.empty() ? name : name + " (image " + std::to_string(images.size() + 1) + ")";
            NetpbmReader reader(bytes, start, which);
            images.emplace_back();
            if (!reader.Read(images.back(), error)) return false;
            if (!reader.AnotherFollows()) return true;
            start = reader.end();
        }
    }
    error = name + " is not a PNG, PBM, PGM or PPM image";
    return false;
}

bool DecodeImage(const std::vector<std::uint8_t>& bytes, const std::string& name, GreyImage& image,
                 std::string& error) {
    std::vector<GreyImage> images;
    if (!DecodeImages(bytes, name, images, error)) return false;
    image = std::move(images.front());
    return true;
}

GreyImage ScaleToWidth(const GreyImage& image, long width) {
    if (image.width == width || width <= 0) return image;
    GreyImage out;
    out.width = width;
    out.height = std::max(1L, (image.height * width + image.width / 2) / image.width);
    out.bilevel = false;
    out.grey.resize(static_cast<size_t>(out.width * out.height));
    const double sx = double(image.width) / double(out.width);
    const double sy = double(image.height) / double(out.height);
    for (long y = 0; y < out.height; ++y) {
        const double y0 = y * sy, y1 = (y + 1) * sy;
        for (long x = 0; x < out.width; ++x) {
            const double x0 = x * sx, x1 = (x + 1) * sx;
            double sum = 0, area = 0;
            for (long iy = static_cast<long>(y0); iy < image.height && iy < y1; ++iy) {
                const double wy = std::min<double>(iy + 1, y1) - std::max<double>(iy, y0);
                for (long ix = static_cast<long>(x0); ix < image.width && ix < x1; ++ix) {
                    const double wx = std::min<double>(ix + 1, x1) - std::max<double>(ix, x0);
                    sum += wx * wy * image.grey[static_cast<size_t>(iy * image.width + ix)];
                    area += wx * wy;
                }
            }
            out.grey[static_cast<size_t>(y * out.width + x)] = static_cast<std::uint8_t>(area > 0 ? sum / area + 0.5 : 255);
        }
    }
    return out;
}

standin::Page ToPage(const GreyImage& image, Halftone method, int threshold) {
    standin::Page page;
    page.width = static_cast<LONG>(image.width);
    page.height = static_cast<LONG>(image.height);
    page.dots.assign(image.grey.size(), 0);
    if (image.bilevel || method == Halftone::kThreshold) {
        const int level = image.bilevel ? 128 : threshold;
        for (size_t i = 0; i < image.grey.size(); ++i) page.dots[i] = image.grey[i] < level ? 1 : 0;
        return page;
    }
    // Floyd-Steinberg: the error of each dot goes 7/16 right, 3/16 down-left,
    // 5/16 down and 1/16 down-right.
    std::vector<int> row(static_cast<size_t>(image.width) + 2, 0), next(row.size(), 0);
    for (long y = 0; y < image.height; ++y) {
        std::fill(next.begin(), next.end(), 0);
        for (long x = 0; x < image.width; ++x) {
            const size_t i = static_cast<size_t>(y * image.width + x);
            const int want = image.grey[i] * 16 + row[static_cast<size_t>(x) + 1];
            const int got = want < 128 * 16 ? 0 : 255 * 16;
            page.dots[i] = got == 0 ? 1 : 0;
            const int err = want - got;
            row[static_cast<size_t>(x) + 2] += err * 7 / 16;
            next[static_cast<size_t>(x)] += err * 3 / 16;
            next[static_cast<size_t>(x) + 1] += err * 5 / 16;
            next[static_cast<size_t>(x) + 2] += err / 16;
        }
        std::swap(row, next);
    }
    return page;
}

bool WriteDots(const std::string& path, long width, long height, const std::vector<std::uint8_t>& dots,
               std::string& error) {
    std::vector<std::uint8_t> encoded;
    const bool pbm = path.size() > 4 && path.compare(path.size() - 4, 4, ".pbm") == 0;
    if (pbm) {
        const std::string header = "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
        encoded.assign(header.begin(), header.end());
        const size_t rowBytes = static_cast<size_t>((width + 7) / 8);
        for (long y = 0; y < height; ++y) {
            std::vector<std::uint8_t> row(rowBytes, 0);
            for (long x = 0; x < width; ++x)
                if (dots[static_cast<size_t>(y * width + x)]) row[static_cast<size_t>(x / 8)] |= 0x80 >> (x % 8);
            encoded.insert(encoded.end(), row.begin(), row.end());
        }
    } else {
        std::vector<std::uint8_t> grey(dots.size());
        for (size_t i = 0; i < dots.size(); ++i) grey[i] = dots[i] ? 0 : 255;
        if (!stbi_write_png_to_func(&AppendBytes, &encoded, static_cast<int>(width), static_cast<int>(height), 1,
                                    grey.data(), static_cast<int>(width))) {
            error = "cannot encode " + path + " as PNG";
            return false;
        }
    }
    const bool stdoutput = path == "-";
    std::FILE* file = stdoutput ? stdout : std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    if (stdoutput) SetBinary(stdout);
    const bool written = std::fwrite(encoded.data(), 1, encoded.size(), file) == encoded.size();
    const bool closed = stdoutput ? std::fflush(file) == 0 : std::fclose(file) == 0;
    if (!written || !closed) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tools

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

#include "tools/common/output_file.h"

#include <stb_image.h>
#include <stb_image_write.h>

namespace tools {

namespace {

std::string Dims(std::int64_t w, std::int64_t h) { return std::to_string(w) + "x" + std::to_string(h); }

std::string Truncated(size_t need, size_t have) {
    return "is truncated: the raster needs " + std::to_string(need) + " bytes, " + std::to_string(have) +
           " are there";
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
        if (!CheckSize(name_, width, height, error)) return false;
        if (maxval < 1 || maxval > 65535) return Fail(error, "has an invalid maximum value " + std::to_string(maxval));

        image.width = width;
        image.height = height;
        image.bilevel = kind == 1 || kind == 4;
        const size_t dots = static_cast<size_t>(width) * static_cast<size_t>(height);
        if (kind <= 3) {
            // Each sample takes at least a byte, so a short file is found
            // before the header's size is allocated.
            image.grey.clear();
            image.grey.reserve(std::min(dots, b_.size() - pos_));
            const int channels = kind == 3 ? 3 : 1;
            for (size_t i = 0; i < dots; ++i) {
                long v[3] = {0, 0, 0};
                for (int c = 0; c < channels; ++c) {
                    if (kind == 1 ? !Bit(v[c], error) : !Number(v[c], "sample", error)) return false;
                    if (v[c] > maxval) return Fail(error, "has a sample above its maximum value");
                }
                image.grey.push_back(kind == 1 ? (v[0] ? 0 : 255) : Grey(v, channels, maxval));
            }
            return true;
        }
        if (!HeaderEnd(error)) return false;
        const size_t have = b_.size() - pos_;
        if (kind == 4) {
            const size_t rowBytes = static_cast<size_t>((width + 7) / 8);
            const size_t need = rowBytes * static_cast<size_t>(height);
            if (have < need) return Fail(error, Truncated(need, have));
            image.grey.assign(dots, 255);
            for (size_t y = 0; y < size_t(height); ++y) {
                const std::uint8_t* row = b_.data() + pos_ + y * rowBytes;
                std::uint8_t* out = image.grey.data() + y * size_t(width);
                for (size_t x = 0; x < size_t(width); ++x) out[x] = (row[x / 8] & (0x80 >> (x % 8))) ? 0 : 255;
            }
            pos_ += need;
            return true;
        }
        const int channels = kind == 6 ? 3 : 1;
        const size_t sampleBytes = maxval > 255 ? 2 : 1;
        const size_t need = dots * static_cast<size_t>(channels) * sampleBytes;
        if (have < need) return Fail(error, Truncated(need, have));
        image.grey.assign(dots, 255);
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
    // of a document to one stream. Anything else after the last image is
    // refused rather than dropped unseen.
    bool AnotherFollows(bool& another, std::string& error) {
        SkipSpace();
        another = false;
        if (pos_ >= b_.size()) return true;
        if (pos_ + 1 < b_.size() && b_[pos_] == 'P' && b_[pos_ + 1] >= '1' && b_[pos_ + 1] <= '6') {
            another = true;
            return true;
        }
        return Fail(error,
                    "has " + std::to_string(b_.size() - pos_) + " bytes after its last image that are not an image");
    }

private:
    bool Fail(std::string& error, const std::string& what) {
        error = name_ + " " + what;
        return false;
    }

    void SkipSpace() {
        while (pos_ < b_.size()) {
            if (b_[pos_] == '#') {
                while (pos_ < b_.size() && b_[pos_] != '\n' && b_[pos_] != '\r') ++pos_;
            } else if (std::isspace(b_[pos_])) {
                ++pos_;
            } else {
                break;
            }
        }
    }

    // A raw raster starts after exactly one whitespace byte; a comment may
    // come first, and its line end is that byte.
    bool HeaderEnd(std::string& error) {
        if (pos_ >= b_.size()) return true;  // the raster check reports it
        if (b_[pos_] == '#')
            while (pos_ < b_.size() && b_[pos_] != '\n' && b_[pos_] != '\r') ++pos_;
        if (pos_ < b_.size() && !std::isspace(b_[pos_]))
            return Fail(error, "has no whitespace between its header and its raster");
        if (pos_ < b_.size()) ++pos_;
        return true;
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

std::uint32_t BigEndian(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The header, and every chunk present up to IEND, read before decoding:
// absurd sizes and cut files get the messages Netpbm gets, and nothing is
// allocated for a size that the image data could not hold.
bool CheckPngLayout(const std::vector<std::uint8_t>& bytes, const std::string& name, std::string& error) {
    const size_t size = bytes.size();
    if (size < 33) {
        error = name + " is truncated: the PNG header needs 33 bytes, " + std::to_string(size) + " are there";
        return false;
    }
    if (BigEndian(&bytes[8]) != 13 || std::memcmp(&bytes[12], "IHDR", 4) != 0) {
        error = name + " is not a readable PNG image: it does not start with its header";
        return false;
    }
    const std::int64_t width = BigEndian(&bytes[16]), height = BigEndian(&bytes[20]);
    if (width == 0 || height == 0) {
        error = name + " has a zero-sized image (" + Dims(width, height) + ")";
        return false;
    }
    if (!CheckSize(name, width, height, error)) return false;
    // The decoder holds every sample at the file's depth, with an alpha
    // channel where transparency may be given.
    const int depth = bytes[24], type = bytes[25];
    const int samples = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
    const int decoded = type == 0 || type == 4 ? 2 : 4;
    const std::int64_t decodeBytes = width * height * decoded * (depth == 16 ? 2 : 1);
    if (decodeBytes > kMaxDots) {
        error = name + " is too large to decode (" + Dims(width, height) + "): the decoder would take " +
                std::to_string(decodeBytes) + " bytes, the limit is " + std::to_string(kMaxDots);
        return false;
    }
    std::int64_t data = 0;
    for (size_t pos = 8;;) {
        if (pos >= size) {
            error = name + " is truncated: it ends before its IEND chunk";
            return false;
        }
        if (size - pos < 12) {
            error = name + " is truncated: a chunk at byte " + std::to_string(pos) + " needs 12 bytes, " +
                    std::to_string(size - pos) + " are there";
            return false;
        }
        const size_t length = BigEndian(&bytes[pos]);
        const std::string chunk(reinterpret_cast<const char*>(&bytes[pos + 4]), 4);
        if (length > size - pos - 12) {
            error = name + " is truncated: its " + chunk + " chunk at byte " + std::to_string(pos) + " needs " +
                    std::to_string(length + 12) + " bytes, " + std::to_string(size - pos) + " are there";
            return false;
        }
        if (chunk == "IDAT") data += std::int64_t(length);
        if (chunk == "IEND") break;
        pos += 12 + length;
    }
    // Deflate packs at most 1032 bytes into one.
    const std::int64_t raw = (width * samples * depth + 7) / 8 * height;
    if (raw > data * 1032 + 1032) {
        error = name + " is truncated: " + std::to_string(data) + " bytes of image data cannot hold " +
                Dims(width, height) + " dots";
        return false;
    }
    return true;
}

bool DecodePng(const std::vector<std::uint8_t>& bytes, const std::string& name, GreyImage& image,
               std::string& error) {
    if (!CheckPngLayout(bytes, name, error)) return false;
    const int length = static_cast<int>(bytes.size());
    int width = 0, height = 0, channels = 0;
    // Grey with alpha, so that transparent areas can be laid on white.
    stbi_uc* pixels = stbi_load_from_memory(bytes.data(), length, &width, &height, &channels, 2);
    if (!pixels) {
        const char* why = stbi_failure_reason();
        if (why && std::strcmp(why, "outofmem") == 0) {
            error = name + " cannot be decoded: out of memory";
        } else {
            error = name + " is not a readable PNG image: " + (why ? why : "the decoder gives no reason");
        }
        return false;
    }
    image.width = width;
    image.height = height;
    image.grey.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
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

bool CheckSize(const std::string& name, std::int64_t width, std::int64_t height, std::string& error) {
    if (width <= kMaxDimension && height <= kMaxDimension && width * height <= kMaxDots) return true;
    error = name + " is too large (" + Dims(width, height) + "): the limit is " + std::to_string(kMaxDots) +
            " dots, " + std::to_string(kMaxDimension) + " a side";
    return false;
}

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
    bool tooLarge = false;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (std::int64_t(bytes.size() + n) > kMaxInputBytes) {
            tooLarge = true;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    if (!stdinput) std::fclose(file);
    if (tooLarge) {
        bytes.clear();
        bytes.shrink_to_fit();
        error = name + " is too large: more than " + std::to_string(kMaxInputBytes) + " bytes, the limit for an input";
        return false;
    }
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
        std::int64_t dots = 0;
        for (size_t start = 0;;) {
            const std::string which =
                images.empty() ? name : name + " (image " + std::to_string(images.size() + 1) + ")";
            NetpbmReader reader(bytes, start, which);
            images.emplace_back();
            if (!reader.Read(images.back(), error)) return false;
            dots += images.back().width * images.back().height;
            if (dots > kMaxDots) {
                error = name + " is too large: its images hold more than " + std::to_string(kMaxDots) +
                        " dots in all, the limit for a document";
                return false;
            }
            bool another = false;
            if (!reader.AnotherFollows(another, error)) return false;
            if (!another) return true;
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

std::int64_t ScaledHeight(const GreyImage& image, std::int64_t width) {
    if (image.width == width || width <= 0 || image.width <= 0) return image.height;
    return std::max<std::int64_t>(1, (image.height * width + image.width / 2) / image.width);
}

GreyImage ScaleToWidth(const GreyImage& image, std::int64_t width) {
    if (image.width == width || width <= 0) return image;
    GreyImage out;
    out.width = width;
    out.height = ScaledHeight(image, width);
    out.bilevel = false;
    out.grey.resize(static_cast<size_t>(out.width) * static_cast<size_t>(out.height));
    const double sx = double(image.width) / double(out.width);
    const double sy = double(image.height) / double(out.height);
    for (std::int64_t y = 0; y < out.height; ++y) {
        const double y0 = double(y) * sy, y1 = double(y + 1) * sy;
        for (std::int64_t x = 0; x < out.width; ++x) {
            const double x0 = double(x) * sx, x1 = double(x + 1) * sx;
            double sum = 0, area = 0;
            for (std::int64_t iy = static_cast<std::int64_t>(y0); iy < image.height && double(iy) < y1; ++iy) {
                const double wy = std::min<double>(double(iy + 1), y1) - std::max<double>(double(iy), y0);
                const std::uint8_t* row =
                    image.grey.data() + static_cast<size_t>(iy) * static_cast<size_t>(image.width);
                for (std::int64_t ix = static_cast<std::int64_t>(x0); ix < image.width && double(ix) < x1; ++ix) {
                    const double wx = std::min<double>(double(ix + 1), x1) - std::max<double>(double(ix), x0);
                    sum += wx * wy * row[ix];
                    area += wx * wy;
                }
            }
            out.grey[static_cast<size_t>(y) * static_cast<size_t>(out.width) + static_cast<size_t>(x)] =
                static_cast<std::uint8_t>(area > 0 ? sum / area + 0.5 : 255);
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
    const size_t width = static_cast<size_t>(image.width);
    std::vector<int> row(width + 2, 0), next(row.size(), 0);
    for (size_t y = 0; y < static_cast<size_t>(image.height); ++y) {
        std::fill(next.begin(), next.end(), 0);
        for (size_t x = 0; x < width; ++x) {
            const size_t i = y * width + x;
            const int want = image.grey[i] * 16 + row[x + 1];
            const int got = want < 128 * 16 ? 0 : 255 * 16;
            page.dots[i] = got == 0 ? 1 : 0;
            const int err = want - got;
            row[x + 2] += err * 7 / 16;
            next[x] += err * 3 / 16;
            next[x + 1] += err * 5 / 16;
            next[x + 2] += err / 16;
        }
        std::swap(row, next);
    }
    return page;
}

bool WriteDots(std::FILE* file, const std::string& path, std::int64_t width, std::int64_t height,
               const std::vector<std::uint8_t>& dots, std::string& error) {
    if (width <= 0 || height <= 0 || dots.size() < static_cast<size_t>(width) * static_cast<size_t>(height)) {
        error = "cannot write " + path + ": the picture has no dots (" + Dims(width, height) + ")";
        return false;
    }
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    std::vector<std::uint8_t> encoded;
    const bool pbm = path.size() > 4 && path.compare(path.size() - 4, 4, ".pbm") == 0;
    if (pbm) {
        const std::string header = "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
        encoded.assign(header.begin(), header.end());
        const size_t rowBytes = (w + 7) / 8;
        std::vector<std::uint8_t> row(rowBytes);
        for (size_t y = 0; y < h; ++y) {
            std::fill(row.begin(), row.end(), 0);
            for (size_t x = 0; x < w; ++x)
                if (dots[y * w + x]) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            encoded.insert(encoded.end(), row.begin(), row.end());
        }
    } else {
        if (width > kMaxDimension || height * width > std::numeric_limits<int>::max() / 2) {
            error = "cannot encode " + path + " as PNG: " + Dims(width, height) +
                    " dots is more than the encoder takes";
            return false;
        }
        std::vector<std::uint8_t> grey(w * h);
        for (size_t i = 0; i < grey.size(); ++i) grey[i] = dots[i] ? 0 : 255;
        if (!stbi_write_png_to_func(&AppendBytes, &encoded, static_cast<int>(width), static_cast<int>(height), 1,
                                    grey.data(), static_cast<int>(width))) {
            error = "cannot encode " + path + " as PNG: out of memory";
            return false;
        }
    }
    if (std::fwrite(encoded.data(), 1, encoded.size(), file) != encoded.size()) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteDots(const std::string& path, std::int64_t width, std::int64_t height,
               const std::vector<std::uint8_t>& dots, std::string& error) {
    OutputFile output;
    return output.Open(path, error) && WriteDots(output.file(), path, width, height, dots, error) &&
           output.Commit(error);
}

}  // namespace tools

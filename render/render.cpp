// The entry points: a document from memory or from a file, to the renderer
// of its format.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "render/internal.h"

namespace render {

Format Detect(const std::uint8_t* data, std::size_t size) {
    return size >= 5 && std::memcmp(data, "%PDF-", 5) == 0 ? Format::kPdf : Format::kText;
}

Result RenderBytes(const std::uint8_t* data, std::size_t size, Format format, const Options& options,
                   const Sink& sink, const std::string& name) {
    if (format == Format::kPdf) return RenderPdf(std::string(), data, size, options, sink, name);
    std::size_t at = 0;
    return RenderText(
        [&](std::uint8_t* out, std::size_t room) {
            const std::size_t n = std::min(room, size - at);
            std::memcpy(out, data + at, n);
            at += n;
            return static_cast<long>(n);
        },
        options, sink, name);
}

Result RenderFile(const std::string& path, Format format, const Options& options, const Sink& sink) {
    if (format == Format::kPdf) return RenderPdf(path, nullptr, 0, options, sink, path);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        Result result;
        result.error = "cannot open " + path + ": " + std::strerror(errno);
        return result;
    }
    Result result = RenderText(
        [file](std::uint8_t* out, std::size_t room) {
            const std::size_t n = std::fread(out, 1, room, file);
            return n == 0 && std::ferror(file) ? -1L : static_cast<long>(n);
        },
        options, sink, path);
    std::fclose(file);
    return result;
}

}  // namespace render

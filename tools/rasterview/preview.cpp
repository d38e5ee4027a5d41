#include "tools/rasterview/preview.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace rasterview {

bool ReadStream(std::FILE* file, const std::string& name, tools::StreamDecoder& decoder, std::string& error) {
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
        if (got > 0 && !decoder.Feed(buffer.data(), got)) return true;
        if (got < buffer.size()) {
            if (std::ferror(file)) {
                error = "cannot read " + name + ": " + std::strerror(errno);
                return false;
            }
            if (std::feof(file)) return true;
        }
    }
}

bool DrawStream(std::FILE* in, const std::string& inName, std::uint64_t rows, std::FILE* out,
                const std::string& outName, tools::PictureFormat format, std::string& error) {
    tools::PictureWriter picture;
    if (!picture.Start(out, outName, format, rows, error)) return false;
    std::uint64_t drawn = 0;
    tools::StreamDecoder decoder([&](const std::uint8_t* bits, unsigned dots) {
        return drawn++ < rows && picture.Row(bits, dots) && drawn < rows;
    });
    if (!ReadStream(in, inName, decoder, error)) return false;
    return picture.Finish(error);
}

bool HeldRows::Add(const std::uint8_t* bits, unsigned dots) {
    try {
        if (rows_ % kRowsPerBlock == 0) blocks_.emplace_back().reserve(kRowsPerBlock * tools::kStreamRowBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::vector<std::uint8_t>& block = blocks_.back();
    const size_t length = (dots + 7) / 8;
    block.insert(block.end(), bits, bits + length);
    block.resize(block.size() + tools::kStreamRowBytes - length, 0);
    if (dots % 8) block[block.size() - tools::kStreamRowBytes + length - 1] &= std::uint8_t(0xFF << (8 - dots % 8));
    ++rows_;
    return true;
}

bool HeldRows::Draw(tools::PictureWriter& picture) const {
    std::uint64_t row = 0;
    for (const std::vector<std::uint8_t>& block : blocks_)
        for (size_t at = 0; at < block.size() && row < rows_; at += tools::kStreamRowBytes, ++row)
            if (!picture.Row(block.data() + at, tools::kStreamMaxDots)) return false;
    return true;
}

}  // namespace rasterview

// What rasterview and the virtual printer share: reading a stream in
// pieces, and drawing it without holding a byte per dot.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/picture_writer.h"
#include "tools/common/printer_stream.h"

namespace rasterview {

// Reads `file` to its end, or until the decoder stops. False with a message
// naming the stream when reading fails.
bool ReadStream(std::FILE* file, const std::string& name, tools::StreamDecoder& decoder, std::string& error);

// Draws the first `rows` rows of the stream read from `in` (a second
// reading of what was checked) as a picture in `out`.
bool DrawStream(std::FILE* in, const std::string& inName, std::uint64_t rows, std::FILE* out,
                const std::string& outName, tools::PictureFormat format, std::string& error);

// Rows held at a bit a dot, for a stream that can be read only once.
class HeldRows {
public:
    bool Add(const std::uint8_t* bits, unsigned dots);
    std::uint64_t rows() const { return rows_; }
    bool Draw(tools::PictureWriter& picture) const;

private:
    static constexpr std::size_t kRowsPerBlock = 1 << 14;
    std::vector<std::vector<std::uint8_t>> blocks_;  // blocks, so that growing never copies the picture
    std::uint64_t rows_ = 0;
};

}  // namespace rasterview

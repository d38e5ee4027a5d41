// Reads a printer stream back into dot rows. Written from the printer's
// command format alone, apart from the plug-in's encoder, so that it can
// check what the plug-in wrote.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tools {

struct DecodedStream {
    long width = 0;                  // the widest row, in dots
    std::vector<std::vector<std::uint8_t>> rows;  // one per command: a byte per dot, 1 = printed
    std::map<unsigned, size_t> widths;            // rows by dot count
    size_t dataBytes = 0;
    size_t streamBytes = 0;
};

// Decodes every command; at the first malformed one returns false with the
// byte offset and what is wrong in `error`.
bool DecodePrinterStream(const std::vector<std::uint8_t>& bytes, DecodedStream& out, std::string& error);

// The rows as one image `width` dots wide (rows padded with white).
std::vector<std::uint8_t> StreamDots(const DecodedStream& stream, long width);

}  // namespace tools

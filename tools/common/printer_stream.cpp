#include "tools/common/printer_stream.h"

#include <cstdio>

namespace tools {

namespace {

// Every command: ESC '.' 1 0 0 1, the dot count low byte first, then one
// bit per dot, most significant first, ceil(dots / 8) bytes of at most 48.
constexpr std::uint8_t kFixed[6] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01};
constexpr unsigned kMaxDots = 384;

std::string Hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

}  // namespace

bool DecodePrinterStream(const std::vector<std::uint8_t>& bytes, DecodedStream& out, std::string& error) {
    out = DecodedStream{};
    out.streamBytes = bytes.size();
    size_t pos = 0;
    while (pos < bytes.size()) {
        const std::string at = "at byte " + std::to_string(pos) + " (command " + std::to_string(out.rows.size() + 1) + "): ";
        if (bytes.size() - pos < 8) {
            error = at + "truncated header, " + std::to_string(bytes.size() - pos) + " of 8 bytes";
            return false;
        }
        for (int i = 0; i < 6; ++i) {
            if (bytes[pos + i] != kFixed[i]) {
                error = at + "header byte " + std::to_string(i) + " is " + Hex(bytes[pos + i]) + ", expected " +
                        Hex(kFixed[i]);
                return false;
            }
        }
        const unsigned dots = bytes[pos + 6] | (unsigned(bytes[pos + 7]) << 8);
        if (dots > kMaxDots) {
            error = at + "dot count " + std::to_string(dots) + " is wider than the printer's " +
                    std::to_string(kMaxDots);
            return false;
        }
        const size_t length = (dots + 7) / 8;
        if (bytes.size() - pos - 8 < length) {
            error = at + "truncated row: " + std::to_string(dots) + " dots need " + std::to_string(length) +
                    " bytes, " + std::to_string(bytes.size() - pos - 8) + " left";
            return false;
        }
        std::vector<std::uint8_t> row(dots, 0);
        for (unsigned x = 0; x < dots; ++x) row[x] = (bytes[pos + 8 + x / 8] >> (7 - x % 8)) & 1;
        out.rows.push_back(std::move(row));
        ++out.widths[dots];
        out.dataBytes += length;
        if (long(dots) > out.width) out.width = dots;
        pos += 8 + length;
    }
    return true;
}

std::vector<std::uint8_t> StreamDots(const DecodedStream& stream, long width) {
    std::vector<std::uint8_t> dots(static_cast<size_t>(width) * stream.rows.size(), 0);
    for (size_t y = 0; y < stream.rows.size(); ++y) {
        const std::vector<std::uint8_t>& row = stream.rows[y];
        for (size_t x = 0; x < row.size() && long(x) < width; ++x) dots[y * static_cast<size_t>(width) + x] = row[x];
    }
    return dots;
}

}  // namespace tools

#include "tools/common/printer_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tools {

namespace {

// Every command: ESC '.' 1 0 0 1, the dot count low byte first, then one
// bit per dot, most significant first, ceil(dots / 8) bytes of at most 48.
constexpr std::uint8_t kFixed[6] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01};
constexpr std::size_t kHeader = 8;

std::string Hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

unsigned Dots(const std::uint8_t* header) { return header[6] | (unsigned(header[7]) << 8); }

// Checks a whole header; the caller then waits for the row it announces.
bool HeaderProblem(const std::uint8_t* header, std::string& problem) {
    for (int i = 0; i < 6; ++i) {
        if (header[i] != kFixed[i]) {
            problem = "header byte " + std::to_string(i) + " is " + Hex(header[i]) + ", expected " + Hex(kFixed[i]);
            return true;
        }
    }
    const unsigned dots = Dots(header);
    if (dots > kStreamMaxDots) {
        problem = "dot count " + std::to_string(dots) + " is wider than the printer's " + std::to_string(kStreamMaxDots);
        return true;
    }
    return false;
}

}  // namespace

std::string StreamDecoder::Error() const {
    return "at byte " + std::to_string(errorOffset_) + " (command " + std::to_string(errorCommand()) + "): " + problem_;
}

bool StreamDecoder::Fail(std::string problem) {
    malformed_ = stopped_ = true;
    errorOffset_ = commandStart_;
    problem_ = std::move(problem);
    return false;
}

bool StreamDecoder::Command(const std::uint8_t* command) {
    const unsigned dots = Dots(command);
    const std::size_t length = (dots + 7) / 8;
    ++rows_;
    ++widths_[dots];
    dataBytes_ += length;
    width_ = std::max(width_, dots);
    commandStart_ += kHeader + length;
    if (onRow_ && !onRow_(command + kHeader, dots)) {
        stopped_ = true;
        return false;
    }
    return true;
}

bool StreamDecoder::Feed(const std::uint8_t* data, std::size_t size) {
    streamBytes_ += size;
    std::string problem;
    while (!stopped_ && size > 0) {
        if (pendingSize_ == 0 && size >= kHeader) {
            // The usual case: the command lies whole in what was handed over.
            if (HeaderProblem(data, problem)) return Fail(problem);
            const std::size_t length = kHeader + (Dots(data) + 7) / 8;
            if (size >= length) {
                if (!Command(data)) return false;
                data += length;
                size -= length;
                continue;
            }
        }
        // Otherwise gather the command, header first.
        const bool hadHeader = pendingSize_ >= kHeader;
        std::size_t need = hadHeader ? kHeader + (Dots(pending_) + 7) / 8 : kHeader;
        std::size_t take = std::min(need - pendingSize_, size);
        std::memcpy(pending_ + pendingSize_, data, take);
        pendingSize_ += take;
        data += take;
        size -= take;
        if (pendingSize_ < need) continue;
        if (!hadHeader) {
            if (HeaderProblem(pending_, problem)) return Fail(problem);
            need = kHeader + (Dots(pending_) + 7) / 8;
            take = std::min(need - pendingSize_, size);
            std::memcpy(pending_ + pendingSize_, data, take);
            pendingSize_ += take;
            data += take;
            size -= take;
            if (pendingSize_ < need) continue;
        }
        pendingSize_ = 0;
        if (!Command(pending_)) return false;
    }
    return !stopped_;
}

bool StreamDecoder::Finish() {
    if (stopped_) return false;
    if (pendingSize_ == 0) return true;
    if (pendingSize_ < kHeader)
        return Fail("truncated header, " + std::to_string(pendingSize_) + " of 8 bytes");
    const unsigned dots = Dots(pending_);
    const std::size_t length = (dots + 7) / 8;
    return Fail("truncated row: " + std::to_string(dots) + " dots need " + std::to_string(length) + " bytes, " +
                std::to_string(pendingSize_ - kHeader) + " left");
}

bool DecodePrinterStream(const std::vector<std::uint8_t>& bytes, DecodedStream& out, std::string& error) {
    out = DecodedStream{};
    StreamDecoder decoder([&out](const std::uint8_t* bits, unsigned dots) {
        std::vector<std::uint8_t> row(dots, 0);
        for (unsigned x = 0; x < dots; ++x) row[x] = (bits[x / 8] >> (7 - x % 8)) & 1;
        out.rows.push_back(std::move(row));
        return true;
    });
    const bool ok = decoder.Feed(bytes.data(), bytes.size()) && decoder.Finish();
    out.width = decoder.width();
    for (const auto& [dots, count] : decoder.widths()) out.widths[dots] = static_cast<size_t>(count);
    out.dataBytes = static_cast<size_t>(decoder.dataBytes());
    out.streamBytes = bytes.size();
    if (!ok) error = decoder.Error();
    return ok;
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

// Reads a printer stream back into dot rows. Written from the printer's
// command format alone, apart from the plug-in's encoder, so that it can
// check what the plug-in wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tools {

// The printer's widest row, and the bytes one row of it takes at a bit a dot.
constexpr unsigned kStreamMaxDots = 384;
constexpr unsigned kStreamRowBytes = kStreamMaxDots / 8;

// Decodes a stream handed over in pieces of any size, keeping only the
// command it is in the middle of. Each complete row goes to `onRow` as its
// command's data (a bit a dot, most significant first) and its dot count;
// `onRow` returning false stops the decoding.
class StreamDecoder {
public:
    using RowSink = std::function<bool(const std::uint8_t* bits, unsigned dots)>;

    explicit StreamDecoder(RowSink onRow = nullptr) : onRow_(std::move(onRow)) {}

    // False once a command is malformed or the sink stopped; later bytes
    // are counted but not decoded.
    bool Feed(const std::uint8_t* data, std::size_t size);
    // The stream ends here: a command cut short is malformed.
    bool Finish();

    bool malformed() const { return malformed_; }
    // Where the malformed command starts, which command it is (from 1) and
    // what is wrong with it.
    std::uint64_t errorOffset() const { return errorOffset_; }
    std::uint64_t errorCommand() const { return rows_ + 1; }
    const std::string& problem() const { return problem_; }
    // "at byte K (command N): what"
    std::string Error() const;

    std::uint64_t rows() const { return rows_; }
    unsigned width() const { return width_; }  // the widest row, in dots
    const std::map<unsigned, std::uint64_t>& widths() const { return widths_; }  // rows by dot count
    std::uint64_t dataBytes() const { return dataBytes_; }
    std::uint64_t streamBytes() const { return streamBytes_; }

private:
    bool Fail(std::string problem);
    bool Command(const std::uint8_t* command);

    RowSink onRow_;
    std::uint8_t pending_[8 + kStreamRowBytes] = {};
    std::size_t pendingSize_ = 0;
    std::uint64_t commandStart_ = 0;
    bool stopped_ = false;
    bool malformed_ = false;
    std::uint64_t errorOffset_ = 0;
    std::string problem_;
    std::uint64_t rows_ = 0;
    unsigned width_ = 0;
    std::map<unsigned, std::uint64_t> widths_;
    std::uint64_t dataBytes_ = 0;
    std::uint64_t streamBytes_ = 0;
};

// A whole stream in memory, a byte per dot: for tests and small previews.
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

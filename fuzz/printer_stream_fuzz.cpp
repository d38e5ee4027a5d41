// The printer stream's decoder on arbitrary bytes, handed over whole and in
// pieces: the same rows and the same verdict either way, and an offset
// inside the input. Then a well-formed stream made from the input decodes
// to the rows it encodes.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/common/printer_stream.h"

namespace {

struct Decoded {
    std::vector<std::vector<std::uint8_t>> rows;  // the dot count, low byte first, then the row's bytes
    bool ok = false;
    std::uint64_t offset = 0;
    std::string error;
    std::uint64_t dataBytes = 0;
};

// Decodes in pieces whose sizes the input picks; 0 hands it over whole.
Decoded Decode(const std::uint8_t* data, std::size_t size, std::size_t seed) {
    Decoded out;
    tools::StreamDecoder decoder([&out](const std::uint8_t* bits, unsigned dots) {
        std::vector<std::uint8_t> row = {std::uint8_t(dots), std::uint8_t(dots >> 8)};
        row.insert(row.end(), bits, bits + (dots + 7) / 8);
        out.rows.push_back(std::move(row));
        return true;
    });
    std::size_t at = 0;
    bool fed = true;
    while (at < size && fed) {
        std::size_t piece = seed ? 1 + (data[(at + seed) % size] + seed) % 61 : size;
        if (piece > size - at) piece = size - at;
        fed = decoder.Feed(data + at, piece);
        at += piece;
    }
    out.ok = fed && decoder.Finish();
    fuzz::Check(out.ok != decoder.malformed(), "a verdict without a reason");
    fuzz::Check(decoder.rows() == out.rows.size(), "rows counted apart from the rows decoded");
    out.dataBytes = decoder.dataBytes();
    if (!out.ok) {
        fuzz::Check(decoder.errorOffset() < size, "an offset outside the input");
        fuzz::Check(decoder.errorCommand() == out.rows.size() + 1, "the wrong command named");
        out.offset = decoder.errorOffset();
        out.error = decoder.Error();
    } else {
        fuzz::Check(8 * out.rows.size() + out.dataBytes == size, "bytes left out of a well-formed stream");
    }
    return out;
}

void Same(const Decoded& a, const Decoded& b) {
    fuzz::Check(a.rows == b.rows, "the rows depend on how the bytes arrive");
    fuzz::Check(a.ok == b.ok && a.offset == b.offset && a.error == b.error, "the verdict depends on the pieces");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Decoded whole = Decode(data, size, 0);
    Same(whole, Decode(data, size, 1));
    Same(whole, Decode(data, size, 7));
    std::vector<std::uint8_t> copy(data, data + size);
    tools::DecodedStream legacy;
    std::string error;
    fuzz::Check(tools::DecodePrinterStream(copy, legacy, error) == whole.ok && error == whole.error &&
                    legacy.rows.size() == whole.rows.size(),
                "the whole-stream decoder disagrees");

    // Rows taken from the input, encoded as the printer expects them.
    fuzz::Input in(data, size);
    std::vector<std::vector<std::uint8_t>> rows;
    std::vector<std::uint8_t> stream;
    while (in.left() > 0) {
        const unsigned dots = in.Word() % (tools::kStreamMaxDots + 1);
        std::vector<std::uint8_t> row = {std::uint8_t(dots), std::uint8_t(dots >> 8)};
        for (unsigned i = 0; i < (dots + 7) / 8; ++i) row.push_back(in.Byte());
        stream.insert(stream.end(), {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01});
        stream.insert(stream.end(), row.begin(), row.end());
        rows.push_back(std::move(row));
    }
    const Decoded made = Decode(stream.data(), stream.size(), 3);
    fuzz::Check(made.ok, "a well-formed stream refused");
    fuzz::Check(made.rows == rows, "a well-formed stream decoded to other rows");
    return 0;
}

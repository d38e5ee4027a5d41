// Writes what the printer would print, row by row as the stream is decoded:
// a 1-bit PNG or a PBM, kStreamMaxDots dots wide, printed dots black. The
// number of rows is given first, as both formats state it before the rows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tools {

enum class PictureFormat { kPng, kPbm };

// ".pbm" at the end of a path asks for PBM; anything else is PNG.
PictureFormat PictureFormatFor(const std::string& path);

// The most rows a picture of the format can hold in this build, and why.
std::uint64_t MaxPictureRows(PictureFormat format, std::string* limit = nullptr);

class PictureWriter {
public:
    PictureWriter();
    ~PictureWriter();
    PictureWriter(const PictureWriter&) = delete;
    PictureWriter& operator=(const PictureWriter&) = delete;

    // Writes to `file`, left open for the caller; `name` is the file's name
    // in messages.
    bool Start(std::FILE* file, const std::string& name, PictureFormat format, std::uint64_t rows, std::string& error);
    // One row as a command holds it: `dots` dots at a bit each, most
    // significant first; the rest of the row is white.
    bool Row(const std::uint8_t* bits, unsigned dots);
    // After the last row: the picture's end, flushed.
    bool Finish(std::string& error);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tools

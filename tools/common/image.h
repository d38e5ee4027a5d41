// Images as the tools read and write them, and their conversion to the 1-bit
// pages the simulated host prints.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "standin/host/print_job.h"

namespace tools {

// A grey image: 0 is black, 255 white. `bilevel` when the source had only
// black and white dots (PBM, or a 1-bit PNG).
struct GreyImage {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::vector<std::uint8_t> grey;
    bool bilevel = false;
};

// What one input may hold, and one picture or document, in dots: larger
// ones are refused before anything is allocated for them.
constexpr std::int64_t kMaxInputBytes = std::int64_t(1) << 28;
constexpr std::int64_t kMaxDimension = standin::kMaxPageSide;  // the GPD reader's too
constexpr std::int64_t kMaxDots = std::int64_t(1) << 28;

// Reads all of a file, or standard input for "-". False with a message
// naming the file when it cannot be read or holds more than kMaxInputBytes.
bool ReadInput(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error);

// Whether a picture of width x height dots is within the limits; if not,
// says so, naming the limit.
bool CheckSize(const std::string& name, std::int64_t width, std::int64_t height, std::string& error);

// Decodes PNG or Netpbm (P1-P6) bytes: one PNG, or one or more Netpbm
// images one after the other. `name` is used in messages.
bool DecodeImages(const std::vector<std::uint8_t>& bytes, const std::string& name, std::vector<GreyImage>& images,
                  std::string& error);

// The first image only.
bool DecodeImage(const std::vector<std::uint8_t>& bytes, const std::string& name, GreyImage& image,
                 std::string& error);

// The height ScaleToWidth gives.
std::int64_t ScaledHeight(const GreyImage& image, std::int64_t width);

// Scales to the given width, keeping the aspect, by averaging the area
// each output dot covers. Check the scaled size first.
GreyImage ScaleToWidth(const GreyImage& image, std::int64_t width);

enum class Halftone { kDiffusion, kThreshold };

// Turns grey into black and white dots: Floyd-Steinberg error diffusion,
// or a fixed threshold (grey below it is black). Bilevel images keep their
// dots either way.
standin::Page ToPage(const GreyImage& image, Halftone method, int threshold);

// Writes dots (non-zero = black) as a greyscale PNG, or as PBM when the
// path ends in ".pbm"; "-" is standard output. The file is replaced only
// once the whole picture was written.
bool WriteDots(const std::string& path, std::int64_t width, std::int64_t height,
               const std::vector<std::uint8_t>& dots, std::string& error);

// The same into an open output; `path` gives the format and the name in
// messages.
bool WriteDots(std::FILE* file, const std::string& path, std::int64_t width, std::int64_t height,
               const std::vector<std::uint8_t>& dots, std::string& error);

}  // namespace tools

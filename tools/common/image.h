// Images as the tools read and write them, and their conversion to the 1-bit
// pages the simulated host prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "standin/host/print_job.h"

namespace tools {

// A grey image: 0 is black, 255 white. `bilevel` when the source had only
// black and white dots (PBM, or a 1-bit PNG).
struct GreyImage {
    long width = 0;
    long height = 0;
    std::vector<std::uint8_t> grey;
    bool bilevel = false;
};

// Reads all of a file, or standard input for "-". False with a message
// naming the file when it cannot be read.
bool ReadInput(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error);

// Decodes PNG or Netpbm (P1-P6) bytes: one PNG, or one or more Netpbm
// images one after the other. `name` is used in messages.
bool DecodeImages(const std::vector<std::uint8_t>& bytes, const std::string& name, std::vector<GreyImage>& images,
                  std::string& error);

// The first image only.
bool DecodeImage(const std::vector<std::uint8_t>& bytes, const std::string& name, GreyImage& image,
                 std::string& error);

// Scales to the given width, keeping the aspect, by averaging the area
// each output dot covers.
GreyImage ScaleToWidth(const GreyImage& image, long width);

enum class Halftone { kDiffusion, kThreshold };

// Turns grey into black and white dots: Floyd-Steinberg error diffusion,
// or a fixed threshold (grey below it is black). Bilevel images keep their
// dots either way.
standin::Page ToPage(const GreyImage& image, Halftone method, int threshold);

// Writes dots (non-zero = black) as a greyscale PNG, or as PBM when the
// path ends in ".pbm"; "-" is standard output.
bool WriteDots(const std::string& path, long width, long height, const std::vector<std::uint8_t>& dots,
               std::string& error);

}  // namespace tools

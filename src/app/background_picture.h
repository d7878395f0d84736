// The default room background, "plain.jpg": a dusk landscape that the
// server paints itself and encodes as a baseline JPEG, so that a new site's
// rooms have a picture without any artwork shipped beside the program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zanth {

inline constexpr char kDefaultBackgroundName[] = "plain.jpg";

// An RGB picture, three bytes a pixel, rows top to bottom.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

// Paints the default background at the size of a new room (512 by 384).
RgbImage DrawDefaultBackground();

// Encodes image as a baseline JFIF file: YCbCr without subsampling, the
// example quantisation tables of the JPEG standard scaled to quality
// (1-100, as the common encoders count it) and its example Huffman tables.
// Sizes that are not multiples of 8 repeat their last row and column.
// REQUIRES: image.pixels holds width * height * 3 bytes, both sizes 1-65535.
std::string EncodeJpeg(const RgbImage& image, int quality);

// The bytes of "plain.jpg": DrawDefaultBackground() encoded at quality 85.
std::string DefaultBackgroundJpeg();

}  // namespace zanth

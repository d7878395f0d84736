// The default background and its JPEG encoder, checked against the system's
// JPEG decoder.
#include "app/background_picture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <jpeglib.h>

namespace zanth {
namespace {

// libjpeg's error handler, which returns to Decode instead of ending the
// process.
struct DecodeErrors {
  jpeg_error_mgr manager;
  std::jmp_buf back;
};

// Decodes bytes with libjpeg into RGB; false when it refuses them. Its
// warnings (a premature end of the data, say) count as refusals too.
bool Decode(const std::string& bytes, RgbImage* image) {
  jpeg_decompress_struct info{};
  DecodeErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = [](j_common_ptr common) {
    char text[JMSG_LENGTH_MAX];
    (*common->err->format_message)(common, text);
    std::fprintf(stderr, "libjpeg: %s\n", text);
    std::longjmp(reinterpret_cast<DecodeErrors*>(common->err)->back, 1);
  };
  errors.manager.emit_message = [](j_common_ptr common, int level) {
    if (level < 0) common->err->error_exit(common);
  };
  jpeg_create_decompress(&info);
  if (setjmp(errors.back) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  image->width = static_cast<int>(info.output_width);
  image->height = static_cast<int>(info.output_height);
  image->pixels.assign(static_cast<std::size_t>(image->width * image->height * 3), 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->pixels.data() + info.output_scanline * info.output_width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

struct Difference {
  double mean = 0;
  int largest = 0;
};

Difference Compare(const RgbImage& a, const RgbImage& b) {
  Difference d;
  long total = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) {
    int delta = std::abs(a.pixels[i] - b.pixels[i]);
    total += delta;
    d.largest = std::max(d.largest, delta);
  }
  d.mean = static_cast<double>(total) / static_cast<double>(a.pixels.size());
  return d;
}

TEST(BackgroundPictureTest, DefaultBackgroundDecodesToThePaintedPicture) {
  std::string jpeg = DefaultBackgroundJpeg();
  // Small enough to serve at once to every newcomer.
  EXPECT_LT(jpeg.size(), 40000u);
  RgbImage decoded;
  ASSERT_TRUE(Decode(jpeg, &decoded));
  RgbImage painted = DrawDefaultBackground();
  ASSERT_EQ(512, decoded.width);
  ASSERT_EQ(384, decoded.height);
  Difference d = Compare(painted, decoded);
  EXPECT_LT(d.mean, 2.0);
  EXPECT_LT(d.largest, 48);
  // A picture, not a flat colour: the sky is lighter near the hills than at
  // the top, and the meadow at the bottom darker than the glow.
  auto luma = [&](int x, int y) {
    const std::uint8_t* p = &painted.pixels[static_cast<std::size_t>((y * 512 + x) * 3)];
    return p[0] * 299 + p[1] * 587 + p[2] * 114;
  };
  EXPECT_GT(luma(100, 200), luma(100, 5));
  EXPECT_LT(luma(256, 370), luma(100, 200));
}

// Three kinds of picture: noise, which makes every coefficient size and
// 0xFF bytes that need stuffing; grey blocks that each hold one cosine of
// the transform, so that one coefficient stands alone after up to 62 zeros;
// and sizes that leave partial blocks.
TEST(BackgroundPictureTest, NoiseCosinesAndOddSizesRoundTripAtEveryQuality) {
  std::mt19937 random(7);
  const double pi = std::acos(-1.0);
  for (int quality : {1, 10, 50, 85, 100}) {
    for (auto [width, height] : {std::pair{37, 21}, std::pair{64, 64}, std::pair{1, 1},
                                 std::pair{64, 9}}) {
      RgbImage image;
      image.width = width;
      image.height = height;
      image.pixels.resize(static_cast<std::size_t>(width * height * 3));
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          int u = x / 8;
          int v = y / 8 % 8;
          double cosine = 128 + 100 * std::cos((2 * (x % 8) + 1) * u * pi / 16) *
                                    std::cos((2 * (y % 8) + 1) * v * pi / 16);
          for (int c = 0; c < 3; ++c) {
            std::size_t at = static_cast<std::size_t>((y * width + x) * 3 + c);
            image.pixels[at] = width == 64 && height == 64
                                   ? static_cast<std::uint8_t>(std::lround(cosine))
                                   : static_cast<std::uint8_t>(random() & 0xFF);
          }
        }
      }
      RgbImage decoded;
      ASSERT_TRUE(Decode(EncodeJpeg(image, quality), &decoded))
          << width << "x" << height << " at quality " << quality;
      ASSERT_EQ(width, decoded.width);
      ASSERT_EQ(height, decoded.height);
      if (quality == 100) {
        // Without quantisation loss only rounding and colour conversion remain.
        EXPECT_LT(Compare(image, decoded).mean, 3.0) << width << "x" << height;
      }
    }
  }
}

}  // namespace
}  // namespace zanth

// The default room background and the small baseline JPEG encoder that
// writes it.
#include "app/background_picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace zanth {
namespace {

constexpr int kRoomWidth = 512;
constexpr int kRoomHeight = 384;
constexpr int kDefaultQuality = 85;

// ---- Painting ----

struct Colour {
  double r, g, b;
};

Colour Mix(const Colour& a, const Colour& b, double t) {
  t = std::clamp(t, 0.0, 1.0);
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

double SmoothStep(double edge0, double edge1, double x) {
  double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
  return t * t * (3 - 2 * t);
}

// The top edge of a range of hills at column x: a sum of slow waves.
double Ridge(double x, double base, double height, double phase) {
  return base - height * (0.55 * std::sin(x * 0.011 + phase) +
                          0.30 * std::sin(x * 0.027 + 2.1 * phase) +
                          0.15 * std::sin(x * 0.061 + 0.7 * phase));
}

// ---- Encoding ----

// Natural (row-major) position of each coefficient in zig-zag order.
constexpr std::array<std::uint8_t, 64> kZigZag = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The example quantisation tables of the standard, in natural order.
constexpr std::array<std::uint8_t, 64> kLuminanceQuant = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<std::uint8_t, 64> kChrominanceQuant = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// A Huffman table as the file states it: code counts per length 1-16,
// then the symbols in code order.
struct HuffmanSpec {
  std::array<std::uint8_t, 16> counts;
  std::vector<std::uint8_t> symbols;
};

// The example tables of the standard: DC and AC, luminance and chrominance.
const HuffmanSpec kDcLuminance = {{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},
                                  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
const HuffmanSpec kDcChrominance = {{0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
                                    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
const HuffmanSpec kAcLuminance = {
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
    {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
     0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
     0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
     0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
     0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
     0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
     0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
     0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
     0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
     0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
     0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa}};
const HuffmanSpec kAcChrominance = {
    {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
    {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
     0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
     0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
     0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
     0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
     0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
     0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
     0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
     0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
     0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
     0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa}};

// Code and length of every symbol of one table.
struct HuffmanCodes {
  std::array<std::uint16_t, 256> code{};
  std::array<std::uint8_t, 256> length{};
};

HuffmanCodes MakeCodes(const HuffmanSpec& spec) {
  HuffmanCodes codes;
  unsigned code = 0;
  std::size_t k = 0;
  for (unsigned length = 1; length <= 16; ++length) {
    for (unsigned i = 0; i < spec.counts[length - 1]; ++i, ++k, ++code) {
      codes.code[spec.symbols[k]] = static_cast<std::uint16_t>(code);
      codes.length[spec.symbols[k]] = static_cast<std::uint8_t>(length);
    }
    code <<= 1;
  }
  return codes;
}

std::array<std::uint8_t, 64> ScaledQuant(const std::array<std::uint8_t, 64>& base, int quality) {
  quality = std::clamp(quality, 1, 100);
  int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::array<std::uint8_t, 64> table{};
  for (std::size_t i = 0; i < 64; ++i) {
    table[i] = static_cast<std::uint8_t>(std::clamp((base[i] * scale + 50) / 100, 1, 255));
  }
  return table;
}

// Writes the entropy-coded data: bits from the most significant, a zero
// byte stuffed after every 0xFF, the last byte padded with one bits.
class BitWriter {
 public:
  explicit BitWriter(std::string* out) : out_(out) {}
  void Put(unsigned bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      byte_ = static_cast<unsigned>(byte_ << 1) | ((bits >> i) & 1u);
      if (++filled_ == 8) Flush();
    }
  }
  void Finish() {
    while (filled_ != 0) Put(1, 1);
  }

 private:
  void Flush() {
    out_->push_back(static_cast<char>(byte_));
    if (byte_ == 0xFF) out_->push_back('\0');
    byte_ = 0;
    filled_ = 0;
  }
  std::string* out_;
  unsigned byte_ = 0;
  int filled_ = 0;
};

// The number of bits of |value|, and the bits that stand for value in
// that many: itself when positive, value - 1 in two's complement when not.
int Magnitude(int value) {
  int bits = 0;
  for (unsigned v = static_cast<unsigned>(value < 0 ? -value : value); v != 0; v >>= 1) ++bits;
  return bits;
}

unsigned ValueBits(int value, int bits) {
  return static_cast<unsigned>(value < 0 ? value + (1 << bits) - 1 : value);
}

// One component's encoding state: its tables and the last DC value.
struct Component {
  const std::array<std::uint8_t, 64>* quant;
  const HuffmanCodes* dc;
  const HuffmanCodes* ac;
  int last_dc = 0;
};

// cos((2x + 1) u pi / 16), scaled by the normalisation of u.
std::array<std::array<double, 8>, 8> DctBasis() {
  std::array<std::array<double, 8>, 8> basis{};
  const double pi = std::acos(-1.0);
  for (int u = 0; u < 8; ++u) {
    double c = u == 0 ? std::sqrt(0.125) : 0.5;
    for (int x = 0; x < 8; ++x) {
      basis[static_cast<std::size_t>(u)][static_cast<std::size_t>(x)] =
          c * std::cos((2 * x + 1) * u * pi / 16);
    }
  }
  return basis;
}

void EncodeBlock(const std::array<double, 64>& samples, Component& component, BitWriter& bits) {
  static const std::array<std::array<double, 8>, 8> basis = DctBasis();
  // The separable forward DCT: rows, then columns.
  std::array<double, 64> rows{};
  for (std::size_t y = 0; y < 8; ++y) {
    for (std::size_t u = 0; u < 8; ++u) {
      double sum = 0;
      for (std::size_t x = 0; x < 8; ++x) sum += basis[u][x] * samples[y * 8 + x];
      rows[y * 8 + u] = sum;
    }
  }
  std::array<int, 64> quantised{};
  for (std::size_t v = 0; v < 8; ++v) {
    for (std::size_t u = 0; u < 8; ++u) {
      double sum = 0;
      for (std::size_t y = 0; y < 8; ++y) sum += basis[v][y] * rows[y * 8 + u];
      std::size_t at = v * 8 + u;
      quantised[at] = static_cast<int>(std::lround(sum / (*component.quant)[at]));
    }
  }

  int diff = quantised[0] - component.last_dc;
  component.last_dc = quantised[0];
  int size = Magnitude(diff);
  bits.Put(component.dc->code[static_cast<std::size_t>(size)],
           component.dc->length[static_cast<std::size_t>(size)]);
  bits.Put(ValueBits(diff, size), size);

  int run = 0;
  for (std::size_t k = 1; k < 64; ++k) {
    int value = quantised[kZigZag[k]];
    if (value == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) bits.Put(component.ac->code[0xF0], component.ac->length[0xF0]);
    size = Magnitude(value);
    std::size_t symbol = static_cast<std::size_t>((run << 4) | size);
    bits.Put(component.ac->code[symbol], component.ac->length[symbol]);
    bits.Put(ValueBits(value, size), size);
    run = 0;
  }
  if (run > 0) bits.Put(component.ac->code[0x00], component.ac->length[0x00]);  // end of block
}

void PutU16(std::string* out, unsigned value) {
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
  out->push_back(static_cast<char>(value & 0xFF));
}

void PutMarker(std::string* out, unsigned marker) { PutU16(out, 0xFF00 | marker); }

void PutHuffmanTable(std::string* out, unsigned table_class_and_id, const HuffmanSpec& spec) {
  out->push_back(static_cast<char>(table_class_and_id));
  for (std::uint8_t count : spec.counts) out->push_back(static_cast<char>(count));
  for (std::uint8_t symbol : spec.symbols) out->push_back(static_cast<char>(symbol));
}

}  // namespace

RgbImage DrawDefaultBackground() {
  RgbImage image;
  image.width = kRoomWidth;
  image.height = kRoomHeight;
  image.pixels.resize(static_cast<std::size_t>(kRoomWidth * kRoomHeight * 3));
  const Colour kSkyTop{38, 52, 102};
  const Colour kSkyMiddle{150, 118, 168};
  const Colour kSkyLow{246, 196, 160};
  const Colour kSun{255, 240, 205};
  const Colour kFarHills{118, 104, 150};
  const Colour kNearHills{66, 84, 118};
  const Colour kMeadowTop{74, 118, 104};
  const Colour kMeadowBottom{40, 74, 70};
  const double sun_x = kRoomWidth * 0.70;
  const double sun_y = kRoomHeight * 0.50;
  for (int y = 0; y < kRoomHeight; ++y) {
    for (int x = 0; x < kRoomWidth; ++x) {
      double fy = static_cast<double>(y) / kRoomHeight;
      Colour c = fy < 0.35 ? Mix(kSkyTop, kSkyMiddle, fy / 0.35)
                           : Mix(kSkyMiddle, kSkyLow, (fy - 0.35) / 0.25);
      // The sun low over the hills, with a wide soft glow.
      double distance = std::hypot(x - sun_x, y - sun_y);
      c = Mix(c, kSun, 0.55 * std::exp(-distance / 70.0));
      c = Mix(c, kSun, 1.0 - SmoothStep(26, 29, distance));
      // Hills in front, each edge blended over one pixel.
      double far_edge = Ridge(x, kRoomHeight * 0.60, 26, 0.8);
      c = Mix(c, Mix(kFarHills, kNearHills, (y - far_edge) / 120.0),
              std::clamp(y - far_edge, 0.0, 1.0));
      double near_edge = Ridge(x + 140, kRoomHeight * 0.69, 18, 2.3);
      c = Mix(c, kNearHills, std::clamp(y - near_edge, 0.0, 1.0));
      // The meadow where the visitors stand: calm, darker towards the front.
      double meadow_edge = kRoomHeight * 0.74 + 6 * std::sin(x * 0.008 + 1.0);
      double meadow = std::clamp(y - meadow_edge, 0.0, 1.0);
      c = Mix(c, Mix(kMeadowTop, kMeadowBottom, (y - meadow_edge) / (kRoomHeight * 0.26)),
              meadow);
      // A faint vignette keeps the eye in the middle.
      double dx = (x - kRoomWidth / 2.0) / kRoomWidth;
      double dy = (y - kRoomHeight / 2.0) / kRoomHeight;
      double shade = 1.0 - 0.35 * (dx * dx + dy * dy);
      std::size_t at = static_cast<std::size_t>((y * kRoomWidth + x) * 3);
      image.pixels[at] = static_cast<std::uint8_t>(std::clamp(c.r * shade, 0.0, 255.0));
      image.pixels[at + 1] = static_cast<std::uint8_t>(std::clamp(c.g * shade, 0.0, 255.0));
      image.pixels[at + 2] = static_cast<std::uint8_t>(std::clamp(c.b * shade, 0.0, 255.0));
    }
  }
  return image;
}

std::string EncodeJpeg(const RgbImage& image, int quality) {
  const std::array<std::uint8_t, 64> luminance = ScaledQuant(kLuminanceQuant, quality);
  const std::array<std::uint8_t, 64> chrominance = ScaledQuant(kChrominanceQuant, quality);
  const HuffmanCodes dc_luminance = MakeCodes(kDcLuminance);
  const HuffmanCodes ac_luminance = MakeCodes(kAcLuminance);
  const HuffmanCodes dc_chrominance = MakeCodes(kDcChrominance);
  const HuffmanCodes ac_chrominance = MakeCodes(kAcChrominance);
  const unsigned width = static_cast<unsigned>(image.width);
  const unsigned height = static_cast<unsigned>(image.height);

  std::string out;
  PutMarker(&out, 0xD8);  // start of image
  PutMarker(&out, 0xE0);  // JFIF 1.01, no units, aspect 1:1, no thumbnail
  PutU16(&out, 16);
  out.append("JFIF\0\x01\x01\x00\x00\x01\x00\x01\x00\x00", 14);
  PutMarker(&out, 0xDB);  // both quantisation tables, in zig-zag order
  PutU16(&out, 2 + 2 * 65);
  for (unsigned id = 0; id < 2; ++id) {
    out.push_back(static_cast<char>(id));
    const std::array<std::uint8_t, 64>& table = id == 0 ? luminance : chrominance;
    for (std::uint8_t natural : kZigZag) out.push_back(static_cast<char>(table[natural]));
  }
  PutMarker(&out, 0xC0);  // baseline frame: 8-bit, three components 1x1
  PutU16(&out, 8 + 3 * 3);
  out.push_back(8);
  PutU16(&out, height);
  PutU16(&out, width);
  out.push_back(3);
  out.append("\x01\x11\x00\x02\x11\x01\x03\x11\x01", 9);
  PutMarker(&out, 0xC4);
  std::size_t tables_size = 0;
  for (const HuffmanSpec* spec : {&kDcLuminance, &kAcLuminance, &kDcChrominance, &kAcChrominance}) {
    tables_size += 1 + 16 + spec->symbols.size();
  }
  PutU16(&out, static_cast<unsigned>(2 + tables_size));
  PutHuffmanTable(&out, 0x00, kDcLuminance);
  PutHuffmanTable(&out, 0x10, kAcLuminance);
  PutHuffmanTable(&out, 0x01, kDcChrominance);
  PutHuffmanTable(&out, 0x11, kAcChrominance);
  PutMarker(&out, 0xDA);  // one interleaved scan of all three
  PutU16(&out, 6 + 2 * 3);
  out.append("\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00", 10);

  Component components[3] = {{&luminance, &dc_luminance, &ac_luminance},
                             {&chrominance, &dc_chrominance, &ac_chrominance},
                             {&chrominance, &dc_chrominance, &ac_chrominance}};
  BitWriter bits(&out);
  std::array<std::array<double, 64>, 3> blocks{};
  for (unsigned top = 0; top < height; top += 8) {
    for (unsigned left = 0; left < width; left += 8) {
      for (unsigned i = 0; i < 64; ++i) {
        unsigned x = std::min(left + i % 8, width - 1);
        unsigned y = std::min(top + i / 8, height - 1);
        std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
        double r = image.pixels[at];
        double g = image.pixels[at + 1];
        double b = image.pixels[at + 2];
        // YCbCr as JFIF defines it, centred on zero for the transform.
        blocks[0][i] = 0.299 * r + 0.587 * g + 0.114 * b - 128;
        blocks[1][i] = -0.168736 * r - 0.331264 * g + 0.5 * b;
        blocks[2][i] = 0.5 * r - 0.418688 * g - 0.081312 * b;
      }
      for (std::size_t c = 0; c < 3; ++c) EncodeBlock(blocks[c], components[c], bits);
    }
  }
  bits.Finish();
  PutMarker(&out, 0xD9);  // end of image
  return out;
}

std::string DefaultBackgroundJpeg() { return EncodeJpeg(DrawDefaultBackground(), kDefaultQuality); }

}  // namespace zanth

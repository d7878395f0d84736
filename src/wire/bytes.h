// Big-endian payload building and bounds-checked payload reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zanth::wire {

inline std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
inline void StoreU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// Appends big-endian fields to a payload.
class PayloadWriter {
 public:
  PayloadWriter() = default;
  // Appends to bytes already written elsewhere (taken back with bytes()).
  explicit PayloadWriter(std::vector<std::uint8_t> start) : bytes_(std::move(start)) {}

  PayloadWriter& U8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  PayloadWriter& U16(std::uint16_t v) {
    std::uint8_t b[2];
    StoreU16(b, v);
    bytes_.insert(bytes_.end(), b, b + 2);
    return *this;
  }
  PayloadWriter& I16(std::int16_t v) { return U16(static_cast<std::uint16_t>(v)); }
  PayloadWriter& U32(std::uint32_t v) {
    std::uint8_t b[4];
    StoreU32(b, v);
    bytes_.insert(bytes_.end(), b, b + 4);
    return *this;
  }
  PayloadWriter& I32(std::int32_t v) { return U32(static_cast<std::uint32_t>(v)); }
  PayloadWriter& Float(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return U32(bits);
  }
  PayloadWriter& Zeros(std::size_t count) {
    bytes_.insert(bytes_.end(), count, 0);
    return *this;
  }
  PayloadWriter& Bytes(const void* data, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + count);
    return *this;
  }
  // Bytes up to and including a NUL.
  PayloadWriter& ZString(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    Bytes(text.data(), text.size());
    return U8(0);
  }
  // One length byte and at most 255 bytes.
  PayloadWriter& PText(std::string_view text) {
    if (text.size() > 255) text = text.substr(0, 255);
    U8(static_cast<std::uint8_t>(text.size()));
    return Bytes(text.data(), text.size());
  }
  // A NUL-terminated, zero-padded field of width bytes (the text is cut to
  // width - 1).
  PayloadWriter& Fixed(std::string_view text, std::size_t width) {
    text = text.substr(0, text.find('\0'));
    if (text.size() > width - 1) text = text.substr(0, width - 1);
    Bytes(text.data(), text.size());
    return Zeros(width - text.size());
  }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  const std::uint8_t* data() const { return bytes_.data(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads fields from a payload without ever reading past its end. Every read
// past the end fails and leaves ok() false; the value returned is then 0 or
// empty.
class PayloadReader {
 public:
  PayloadReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  std::size_t remaining() const { return size_ - pos_; }
  std::size_t position() const { return pos_; }
  const std::uint8_t* current() const { return data_ + pos_; }

  std::uint8_t U8() { return Have(1) ? data_[pos_++] : 0; }
  std::uint16_t U16() {
    if (!Have(2)) return 0;
    std::uint16_t v = LoadU16(data_ + pos_);
    pos_ += 2;
    return v;
  }
  std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
  std::uint32_t U32() {
    if (!Have(4)) return 0;
    std::uint32_t v = LoadU32(data_ + pos_);
    pos_ += 4;
    return v;
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  float Float() {
    std::uint32_t bits = U32();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  bool Skip(std::size_t count) {
    if (!Have(count)) return false;
    pos_ += count;
    return true;
  }
  bool Bytes(void* out, std::size_t count) {
    if (!Have(count)) return false;
    std::memcpy(out, data_ + pos_, count);
    pos_ += count;
    return true;
  }
  // Up to the NUL (consumed); without a NUL, the rest of the payload.
  std::string ZString() {
    const void* nul = std::memchr(data_ + pos_, 0, remaining());
    std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (data_ + pos_))
                        : remaining();
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += nul ? n + 1 : n;
    return s;
  }
  // A ptext; a length past the end is clipped to what is there.
  std::string PText() {
    if (!Have(1)) return std::string();
    std::size_t n = data_[pos_++];
    if (n > remaining()) n = remaining();
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }
  // A fixed field of width bytes, read up to its first NUL.
  std::string Fixed(std::size_t width) {
    if (!Have(width)) return std::string();
    const void* nul = std::memchr(data_ + pos_, 0, width);
    std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (data_ + pos_))
                        : width;
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += width;
    return s;
  }

 private:
  bool Have(std::size_t count) {
    if (count > remaining()) {
      ok_ = false;
      return false;
    }
    return true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace zanth::wire

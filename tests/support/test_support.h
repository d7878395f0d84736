// Helpers shared by the tests: temporary directories, hex text and the
// independently computed protocol vectors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zanth::testing {

// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<std::uint8_t> FromHex(const std::string& hex);
std::string ToHex(const std::uint8_t* bytes, std::size_t count);
std::string ToHex(const std::vector<std::uint8_t>& bytes);

// The vectors file, parsed once.
const nlohmann::json& ProtocolVectors();

// Reads a text file whole; empty when it cannot be read.
std::string ReadFileText(const std::string& path);

}  // namespace zanth::testing

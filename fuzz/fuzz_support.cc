// Scratch folder, quiet log and input reading for the fuzz targets.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "core/log.h"
#include "platform/file.h"

namespace zanth::fuzz {
namespace {

// The scratch folder, removed with its contents when the process ends.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zanth-fuzz-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      std::perror("zanth-fuzz: mkdtemp");
      std::abort();
    }
    path_ = std::string(buffer.data()) + "/";
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

const std::string& ScratchDir() {
  static const ScratchFolder folder;
  return folder.path();
}

void ResetScratchDir(std::initializer_list<const char*> subfolders) {
  const std::string& dir = ScratchDir();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
  for (const char* sub : subfolders) std::filesystem::create_directories(dir + sub, ec);
}

std::string WriteScratchFile(const std::string& name, std::string_view bytes) {
  std::string path = ScratchDir() + name;
  if (platform::WriteWholeFile(path, std::string(bytes)) != 0) {
    std::fprintf(stderr, "zanth-fuzz: cannot write %s\n", path.c_str());
    std::abort();
  }
  return path;
}

void QuietLog(bool verbose) {
  Logger& logger = GetLogger();
  if (!logger.is_open() && logger.Open("/dev/null") != 0) {
    std::fprintf(stderr, "zanth-fuzz: cannot open /dev/null\n");
    std::abort();
  }
  logger.set_verbose(verbose);
}

std::string_view InputReader::Bytes(std::size_t count) {
  if (count > remaining()) count = remaining();
  std::string_view bytes(reinterpret_cast<const char*>(data_ + pos_), count);
  pos_ += count;
  return bytes;
}

}  // namespace zanth::fuzz

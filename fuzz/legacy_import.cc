// Fuzzes the legacy tokenizer and room reader with the room description
// writer behind them. Rooms are rendered in memory, never written, so a
// picture folder named by the input cannot send files anywhere.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/settings.h"
#include "import/legacy_import.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zanth::Settings settings;
  settings.media_dir = "/nonexistent-media/";
  std::size_t rooms = 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  (void)zanth::import::ImportLegacyText(std::move(text), settings,
                                        [&rooms](const zanth::import::LegacyRoom& room) {
                                          ++rooms;
                                          std::string rmd = zanth::import::RoomDescriptionText(room);
                                          if (rmd.empty()) __builtin_trap();
                                        });
  return 0;
}

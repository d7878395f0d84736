// The system's error numbers and texts.
#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace zanth::platform {

std::string SystemErrorText(int code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : std::string("unknown error");
}

}  // namespace zanth::platform

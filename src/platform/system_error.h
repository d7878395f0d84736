// The system's error numbers and texts.
#pragma once

#include <string>

namespace zanth::platform {

// The system's text for an error number.
std::string SystemErrorText(int code);

}  // namespace zanth::platform

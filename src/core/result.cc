// Texts for result codes.
#include "core/result.h"

#include "platform/system_error.h"

namespace zanth {

std::string ResultText(int code) {
  switch (code) {
    case kOk: return "no error";
    case kFailed: return "failed";
    case kNoSuchRoom: return "no such room";
    case kParamErr: return "parameter error";
    case kNoMemory: return "out of memory";
    default: break;
  }
  if (code > 0) return platform::SystemErrorText(code);
  return "error " + std::to_string(code);
}

}  // namespace zanth

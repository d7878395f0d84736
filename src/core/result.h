// Result codes shared by every subsystem boundary, and their log texts.
#pragma once

#include <string>

namespace zanth {

// Functions that cross subsystem boundaries return one of these, or a
// positive system error number passed through unchanged.
inline constexpr int kOk = 0;
inline constexpr int kFailed = -1;       // unspecified failure, also zlib
inline constexpr int kNoSuchRoom = -43;
inline constexpr int kParamErr = -50;    // no connection, no user, bad input
inline constexpr int kNoMemory = -108;

// Text for a result code, for log lines: the system's text for positive
// codes, a short description for the negative ones.
std::string ResultText(int code);

}  // namespace zanth

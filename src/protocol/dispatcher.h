// The user-message pass: removes terminated users, broadcasts the
// connection count, takes each user's input, keeps idle connections alive
// and dispatches every complete message by its type code.
#pragma once

#include <cstdint>

#include "protocol/site.h"

namespace zanth::protocol {

inline constexpr std::int64_t kFirstProbeAfter = 240;
inline constexpr std::int64_t kSecondProbeAfter = 120;
inline constexpr std::int64_t kLaterProbeAfter = 30;
inline constexpr int kMaxProbes = 4;

// One pass. Returns the last handler error, 0 if none.
int ProcessUsers(Site& site);

// Hands one message to its handler, after the table's checks.
int Dispatch(Site& site, users::UserRecord& user, std::uint32_t type,
             const std::uint8_t* payload, std::size_t size, bool compressed);

}  // namespace zanth::protocol

// Sending to one user.
#include "users/user.h"

#include <cstdarg>

#include "core/metrics.h"
#include "core/result.h"
#include "net/connection.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::users {

int UserRecord::Send(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
                     bool allow_compression) {
  if (connection == nullptr) return kParamErr;
  std::vector<std::uint8_t> frame;
  wire::FrameMessage(wire::kChatMagic, type, payload, size,
                         allow_compression && Has(kAcceptsCompressed), &frame);
  return SendFrame(frame);
}

int UserRecord::SendFrame(const std::vector<std::uint8_t>& frame) {
  if (connection == nullptr) return kParamErr;
  if (connection->queued() + frame.size() > kOutputQueueLimit) {
    if (!terminating()) {
      MarkTerminating(*this);
      ++GetMetrics().dropped_queue_full;
      LogAs(*this, "Discnct", "#%d %s output queue full", number, peer_address.c_str());
    }
    return kOk;
  }
  LogDebug("Queing %d bytes for send", static_cast<int>(frame.size()));
  return connection->QueueSend(frame.data(), frame.size());
}

int SharedFrame::SendTo(UserRecord& user) {
  bool compress = allow_compression_ && user.Has(kAcceptsCompressed);
  std::vector<std::uint8_t>& frame = compress ? packed_ : plain_;
  if (frame.empty()) wire::FrameMessage(wire::kChatMagic, type_, payload_, size_, compress, &frame);
  return user.SendFrame(frame);
}

namespace {
std::uint64_t termination_count = 0;  // main thread only
}  // namespace

void MarkTerminating(UserRecord& user) {
  user.state = SignOnState::kTerminating;
  ++termination_count;
}

std::uint64_t TerminationCount() { return termination_count; }

LogUser UserRecord::log_user() const {
  LogUser user;
  user.signed_on = signed_on();
  for (int i = 0; i < 4; ++i) user.uuid[i] = uuid[i];
  user.client_number = client_number;
  user.number = number;
  return user;
}

void LogAs(const UserRecord& user, const char* category, const char* format, ...) {
  LogUser tag = user.log_user();
  va_list args;
  va_start(args, format);
  GetLogger().VLine(&tag, category, format, args);
  va_end(args);
}

int SendServerNotice(UserRecord& user, std::string_view text) {
  wire::PayloadWriter w;
  w.U32(0).PText(text);
  return user.Send(wire::TypeCode("Talk"), w.bytes());
}

void AppendUserSummary(const UserRecord& user, std::vector<std::uint8_t>* out) {
  // Written in place: a room's occupant list is built from thousands.
  wire::PayloadWriter w(std::move(*out));
  w.U32(user.id)
      .I16(user.x)
      .I16(user.y)
      .Fixed(user.name, 36)
      .U32(user.badge)
      .I16(user.voice)
      .U16(0)
      .U32(user.colour)
      .U16(static_cast<std::uint16_t>(user.face))
      .U16(0);
  *out = std::move(w.bytes());
}

}  // namespace zanth::users

// Connection records: input and output buffers with link scrambling.
#include "net/connection.h"

#include <cstring>
#include <new>

#include "core/log.h"
#include "core/result.h"
#include "net/connection_manager.h"
#include "platform/clock.h"

namespace zanth::net {

Connection::Connection(ConnectionManager* manager, platform::Socket socket,
                       bool scrambled)
    : manager_(manager),
      socket_(std::move(socket)),
      scrambled_(scrambled),
      in_(new std::uint8_t[kInputBufferSize]()) {
  out_.reserve(kInitialOutputCapacity);
  peer_address_ = platform::PeerAddress(socket_.fd());
}

Connection::~Connection() = default;

int Connection::QueueSend(const std::uint8_t* bytes, std::size_t count) {
  if (closing_) return kOk;
  bool needs_seed = scrambled_ && !send_scrambler_.started();
  std::size_t room = count + (needs_seed ? 1 : 0);
  if (out_head_ > 0 && out_head_ >= out_.size() - out_head_) {
    // Drop the sent head before growing.
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_head_));
    out_head_ = 0;
  }
  if (out_.size() + room > out_.capacity()) {
    LogDebug("Resizing send que");
    try {
      out_.reserve(out_.size() + room);
    } catch (const std::bad_alloc&) {
      return kNoMemory;
    }
  }
  if (needs_seed) {
    auto seed = static_cast<std::uint8_t>(platform::GetClock().TickMs() % 255);
    send_scrambler_.Start(seed);
    out_.push_back(seed);
  }
  std::size_t start = out_.size();
  out_.insert(out_.end(), bytes, bytes + count);
  if (scrambled_) {
    for (std::size_t i = start; i + kBlockSize <= out_.size(); i += kBlockSize) {
      send_scrambler_.ScrambleBlock(&out_[i]);
    }
  }
  UpdateInterest();
  return kOk;
}

std::size_t Connection::TakeInput(std::uint8_t* destination, std::size_t count) {
  std::size_t n = count < in_ready_ ? count : in_ready_;
  if (n == 0) return 0;
  std::memcpy(destination, in_.get(), n);
  std::memmove(in_.get(), in_.get() + n, in_count_ - n);
  in_count_ -= n;
  in_ready_ -= n;
  UpdateInterest();  // there may be room to read again
  return n;
}

void Connection::MarkClosing() {
  if (closing_) return;
  closing_ = true;
  UpdateInterest();
}

void Connection::CloseWhenFlushed() {
  close_when_flushed_ = true;
  UpdateInterest();
}

long Connection::ReceiveOnce(int* error) {
  std::size_t space = kInputBufferSize - in_count_;
  long n = platform::Receive(socket_.fd(), in_.get() + in_count_, space, error);
  if (n <= 0) return n;
  std::size_t received = static_cast<std::size_t>(n);
  if (!scrambled_) {
    in_count_ += received;
    in_ready_ = in_count_;
    return n;
  }
  if (!receive_descrambler_.started()) {
    // The first byte of the link is the peer's seed.
    receive_descrambler_.Start(in_[in_count_]);
    std::memmove(in_.get() + in_count_, in_.get() + in_count_ + 1, received - 1);
    --received;
  }
  in_count_ += received;
  while (in_count_ - in_ready_ >= static_cast<std::size_t>(kBlockSize)) {
    receive_descrambler_.DescrambleBlock(in_.get() + in_ready_);
    in_ready_ += kBlockSize;
  }
  return n;
}

long Connection::SendOnce(int* error) {
  std::size_t count = queued();
  if (count > kMaxSendPerPass) count = kMaxSendPerPass;
  long n = platform::Send(socket_.fd(), out_.data() + out_head_, count, error);
  if (n <= 0) return n;
  out_head_ += static_cast<std::size_t>(n);
  if (out_head_ == out_.size()) {
    out_.clear();
    out_head_ = 0;
  }
  return n;
}

void Connection::UpdateInterest() {
  if (removed_ || !socket_.valid() || unwatched_) return;
  if (closing_) {
    // No more reads or sends. Errors and hang-ups are reported whatever the
    // interest, so the socket leaves the poller until its owner removes it.
    manager_->poller_.Remove(socket_.fd());
    unwatched_ = true;
    return;
  }
  std::uint32_t interest = 0;
  // A full input buffer is not read until its owner takes bytes; without
  // dropping the read interest the level-triggered poller would spin.
  if (in_count_ < kInputBufferSize) interest |= platform::kReadable;
  if (queued() > 0 || connect_pending_ || close_when_flushed_) {
    interest |= platform::kWritable;
  }
  if (interest != interest_) {
    interest_ = interest;
    manager_->poller_.Modify(socket_.fd(), interest, this);
  }
}

}  // namespace zanth::net

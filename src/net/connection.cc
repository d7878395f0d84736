// Connection records: input and output buffers with link scrambling.
#include "net/connection.h"

#include <algorithm>
#include <cerrno>
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
      scrambled_(scrambled) {
  peer_address_ = platform::PeerAddress(socket_.fd());
}

Connection::~Connection() = default;

int Connection::QueueSend(const std::uint8_t* bytes, std::size_t count) {
  // After a WebSocket close frame nothing more may be framed.
  if (closing_ || (websocket_ != nullptr && !websocket_->open())) return kOk;
  bool needs_seed = scrambled_ && !send_scrambler_.started();
  std::size_t room = count + (needs_seed ? 1 : 0);
  std::vector<std::uint8_t>* block = out_.empty() ? nullptr : &out_.back();
  try {
    if (block == nullptr || block->size() + room > block->capacity()) {
      LogDebug("Resizing send que");
      // Most messages are small and most queues drain at once: a full-size
      // block for each would keep kMaxOutputBlock bytes per connection
      // reserved, which spreads the heap and lets resident memory creep.
      std::size_t capacity =
          block == nullptr ? kFirstOutputBlock : std::min(2 * block->capacity(), kMaxOutputBlock);
      std::vector<std::uint8_t> fresh;
      fresh.reserve(std::max(room, capacity));
      out_.push_back(std::move(fresh));
      block = &out_.back();
    }
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  if (needs_seed) {
    auto seed = static_cast<std::uint8_t>(platform::GetClock().TickMs() % 255);
    send_scrambler_.Start(seed);
    block->push_back(seed);
  }
  std::size_t start = block->size();
  block->insert(block->end(), bytes, bytes + count);
  if (scrambled_) {
    for (std::size_t i = start; i + kBlockSize <= block->size(); i += kBlockSize) {
      send_scrambler_.ScrambleBlock(block->data() + i);
    }
  }
  out_count_ += room;
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
  // An idle connection holds no input buffer; the next receive takes one.
  if (in_count_ == 0) in_.reset();
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
  if (in_ == nullptr) {
    in_.reset(new (std::nothrow) std::uint8_t[kInputBufferSize]);
    if (in_ == nullptr) {
      *error = ENOMEM;
      return -1;
    }
  }
  std::size_t space = kInputBufferSize - in_count_;
  long n = platform::Receive(socket_.fd(), in_.get() + in_count_, space, error);
  if (n <= 0) {
    if (in_count_ == 0) in_.reset();
    return n;
  }
  std::size_t received = static_cast<std::size_t>(n);
  if (websocket_ != nullptr) {
    // Only data payloads belong to the stream; they are unmasked in place.
    received = websocket_->Receive(in_.get() + in_count_, received);
    if (received == 0) {
      if (in_count_ == 0) in_.reset();
      return n;
    }
  }
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
  if (websocket_ != nullptr) return SendFrameOnce(error);
  // At most kMaxSendPerPass bytes from the head of the queue, which may
  // span blocks.
  std::uint8_t chunk[kMaxSendPerPass];
  std::size_t count = CopyQueued(chunk, kMaxSendPerPass);
  long n = platform::Send(socket_.fd(), chunk, count, error);
  send_blocked_ = n < static_cast<long>(count);
  if (n <= 0) return n;
  DropQueued(static_cast<std::size_t>(n));
  return n;
}

long Connection::SendFrameOnce(int* error) {
  WebSocketLink& link = *websocket_;
  if (link.has_pending()) {
    std::size_t size = link.pending_size();
    long n = platform::Send(socket_.fd(), link.pending_data(), size, error);
    send_blocked_ = n < static_cast<long>(size);
    if (n > 0) link.Sent(static_cast<std::size_t>(n));
    return n;
  }
  // Room for a header in front of the payload, so that a frame is one send.
  std::uint8_t frame[kMaxFrameHeader + kMaxSendPerPass];
  std::uint8_t* start = frame;
  std::size_t size = link.NextControlFrame(frame);
  if (size == 0) {
    if (!link.open()) {
      DropQueued(out_count_);  // the close frame is out; nothing may follow it
      return 0;
    }
    std::uint8_t* payload = frame + kMaxFrameHeader;
    std::size_t count = CopyQueued(payload, kMaxSendPerPass);
    if (count == 0) return 0;
    DropQueued(count);
    std::uint8_t header[kMaxFrameHeader];
    std::size_t header_size = EncodeFrameHeader(kOpBinary, count, header);
    start = payload - header_size;
    std::memcpy(start, header, header_size);
    size = header_size + count;
  }
  long n = platform::Send(socket_.fd(), start, size, error);
  std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
  send_blocked_ = sent < size;
  // The frame is already out of the queue: whatever the socket did not
  // take waits in the link and goes first in the next pass.
  if (sent < size) link.Keep(start + sent, size - sent);
  return n;
}

std::size_t Connection::CopyQueued(std::uint8_t* destination, std::size_t max) const {
  std::size_t count = 0;
  std::size_t offset = out_head_;
  for (std::size_t i = out_first_; i < out_.size(); ++i) {
    const std::vector<std::uint8_t>& block = out_[i];
    std::size_t take = std::min(block.size() - offset, max - count);
    std::memcpy(destination + count, block.data() + offset, take);
    count += take;
    offset = 0;
    if (count == max) break;
  }
  return count;
}

void Connection::DropQueued(std::size_t count) {
  out_count_ -= count;
  while (count > 0) {
    std::size_t left = out_[out_first_].size() - out_head_;
    if (count < left) {
      out_head_ += count;
      break;
    }
    count -= left;
    manager_->released_bytes_ += out_[out_first_].capacity();
    out_[out_first_] = {};  // frees the block
    ++out_first_;
    out_head_ = 0;
  }
  if (out_first_ == out_.size()) {
    // Drained: the block list keeps its few slots, not the blocks.
    out_.clear();
    out_first_ = 0;
  } else if (out_first_ >= 64) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_first_));
    out_first_ = 0;
  }
}

void Connection::UpdateInterest() {
  if (removed_ || !socket_.valid() || unwatched_) return;
  if (closing_) {
    // No more reads or sends. Errors and hang-ups are reported whatever the
    // interest, so the socket leaves the poller until its owner removes it.
    manager_->poller_.Remove(socket_.fd());
    unwatched_ = true;
    manager_->Unschedule(*this);
    return;
  }
  if (!wants_send()) send_blocked_ = false;
  std::uint32_t interest = 0;
  // A full input buffer is not read until its owner takes bytes, nor is a
  // stream the peer has ended; without dropping the read interest the
  // level-triggered poller would spin.
  if (in_count_ < kInputBufferSize && !peer_closed_) interest |= platform::kReadable;
  // A socket with room takes the next bytes without asking the poller, which
  // saves two poller calls per message to a quiet connection.
  if (connect_pending_ || send_blocked_) interest |= platform::kWritable;
  if (interest != interest_) {
    interest_ = interest;
    manager_->poller_.Modify(socket_.fd(), interest, this);
  }
  if (wants_send() && !send_blocked_ && !connect_pending_) {
    manager_->Schedule(*this);
  } else {
    manager_->Unschedule(*this);
  }
}

}  // namespace zanth::net

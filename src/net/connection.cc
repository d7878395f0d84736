// Connection records: input and output buffers with link scrambling, and
// the sends and receives of one pass.
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

Connection::Connection(ConnectionManager* manager, platform::Socket socket, bool scrambled,
                       const std::string* peer_address)
    : manager_(manager),
      socket_(std::move(socket)),
      scrambled_(scrambled) {
  peer_address_ = peer_address != nullptr ? *peer_address : platform::PeerAddress(socket_.fd());
}

Connection::~Connection() {
  for (std::size_t i = out_first_; i < out_.size(); ++i) manager_->pool_.Give(out_[i].block);
}

int Connection::QueueSend(const std::uint8_t* bytes, std::size_t count) {
  // After a WebSocket close frame nothing more may be framed.
  if (closing_ || (websocket_ != nullptr && !websocket_->open())) return kOk;
  bool needs_seed = scrambled_ && !send_scrambler_.started();
  std::size_t room = count + (needs_seed ? 1 : 0);
  OutBlock* block = out_.size() > out_first_ ? &out_.back() : nullptr;
  if (block == nullptr || block->size + room > block->block.capacity) {
    LogDebug("Resizing send que");
    // Most messages are small and most queues drain at once: a full-size
    // block for each would keep kMaxOutputBlock bytes per connection
    // reserved.
    std::size_t capacity = block == nullptr
                               ? kFirstOutputBlock
                               : std::min(2 * block->block.capacity, kMaxOutputBlock);
    OutBlock fresh;
    fresh.block = manager_->pool_.Take(std::max(room, capacity));
    if (fresh.block.data == nullptr) return kNoMemory;
    try {
      out_.push_back(fresh);
    } catch (const std::bad_alloc&) {
      manager_->pool_.Give(fresh.block);
      return kNoMemory;
    }
    block = &out_.back();
  }
  std::uint8_t* to = block->block.data + block->size;
  if (needs_seed) {
    auto seed = static_cast<std::uint8_t>(platform::GetClock().TickMs() % 255);
    send_scrambler_.Start(seed);
    *to++ = seed;
  }
  if (scrambled_) {
    // Scrambled as it is copied: one pass over the bytes per receiver.
    std::size_t whole = count - count % kBlockSize;
    send_scrambler_.ScrambleBlocksTo(bytes, to, whole / kBlockSize);
    if (whole < count) std::memcpy(to + whole, bytes + whole, count - whole);
  } else if (count > 0) {
    std::memcpy(to, bytes, count);
  }
  block->size += room;
  out_count_ += room;
  UpdateInterest();
  return kOk;
}

void Connection::QueueFile(platform::File file, std::uint64_t offset, std::uint64_t length) {
  if (closing_ || websocket_ != nullptr || scrambled_ || length == 0) return;
  file_ = std::move(file);
  file_offset_ = offset;
  file_left_ = length;
  UpdateInterest();
}

void Connection::ConsumeInput(std::size_t count) {
  count = std::min(count, ReadyCount());
  in_start_ += count;
  if (in_start_ == in_count_) {
    // An idle connection holds no input buffer; the next receive takes one.
    in_.reset();
    in_capacity_ = 0;
    in_start_ = in_ready_ = in_count_ = 0;
  }
  UpdateInterest();  // there may be room to read again
}

std::size_t Connection::TakeInput(std::uint8_t* destination, std::size_t count) {
  std::size_t n = std::min(count, ReadyCount());
  if (n == 0) return 0;
  std::memcpy(destination, InputData(), n);
  ConsumeInput(n);
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
    in_capacity_ = kInputBufferSize;
  } else if (in_start_ > 0 && in_capacity_ - in_count_ < in_capacity_ / 4) {
    // Only what the owner has not taken moves down, once per receive: a
    // partial message, never the messages already handled.
    std::memmove(in_.get(), in_.get() + in_start_, in_count_ - in_start_);
    in_ready_ -= in_start_;
    in_count_ -= in_start_;
    in_start_ = 0;
  }
  // What does not fit lands in the spill area, and the buffer grows for it:
  // a burst is read in one call without keeping a large buffer per idle
  // connection.
  // Never more than kInputLimit held in all.
  std::size_t allowed = kInputLimit - std::min(kInputLimit, in_count_ - in_start_);
  std::uint8_t spill[kInputSpill];
  std::size_t room = std::min(in_capacity_ - in_count_, allowed);
  long n = platform::ReceiveTwo(socket_.fd(), in_.get() + in_count_, room, spill,
                                std::min(sizeof spill, allowed - room), error);
  if (n > 0 && static_cast<std::size_t>(n) > room) {
    std::size_t extra = static_cast<std::size_t>(n) - room;
    std::size_t capacity = std::max(2 * in_capacity_, in_capacity_ + extra);
    std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[capacity]);
    if (grown == nullptr) {
      *error = ENOMEM;
      return -1;
    }
    std::memcpy(grown.get(), in_.get() + in_start_, in_capacity_ - in_start_);
    std::memcpy(grown.get() + in_capacity_ - in_start_, spill, extra);
    in_ready_ -= in_start_;
    in_count_ -= in_start_;
    in_start_ = 0;
    in_ = std::move(grown);
    in_capacity_ = capacity;
  }
  if (n <= 0) {
    if (in_count_ == in_start_) ConsumeInput(0);
    return n;
  }
  TakeReceived(static_cast<std::size_t>(n));
  return n;
}

void Connection::TakeReceived(std::size_t received) {
  std::uint8_t* fresh = in_.get() + in_count_;
  if (websocket_ != nullptr) {
    // Only data payloads belong to the stream; they are unmasked in place.
    received = websocket_->Receive(fresh, received);
    if (received == 0) {
      if (in_count_ == in_start_) ConsumeInput(0);
      return;
    }
  }
  if (!scrambled_) {
    in_count_ += received;
    in_ready_ = in_count_;
    return;
  }
  if (!receive_descrambler_.started()) {
    // The first byte of the link is the peer's seed.
    receive_descrambler_.Start(fresh[0]);
    std::memmove(fresh, fresh + 1, received - 1);
    --received;
  }
  in_count_ += received;
  std::size_t blocks = (in_count_ - in_ready_) / kBlockSize;
  receive_descrambler_.DescrambleBlocks(in_.get() + in_ready_, blocks);
  in_ready_ += blocks * kBlockSize;
  if (in_count_ == in_start_) ConsumeInput(0);
}

std::size_t Connection::GatherQueued(platform::IoSlice* slices, std::size_t count,
                                     std::size_t max) const {
  std::size_t offset = out_head_;
  std::size_t total = 0;
  for (std::size_t i = out_first_;
       i < out_.size() && count < platform::kMaxIoSlices && total < max; ++i) {
    const OutBlock& block = out_[i];
    std::size_t take = std::min(block.size - offset, max - total);
    slices[count++] = platform::IoSlice{block.block.data + offset, take};
    total += take;
    offset = 0;
  }
  return count;
}

long Connection::SendFilePart(std::size_t max, int* error) {
  std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(file_left_, max));
  long n = platform::SendFile(socket_.fd(), file_.descriptor(), &file_offset_, want, error);
  if (n < 0) return n;
  if (n == 0) {
    // The file shrank: its body ends where it stands.
    file_left_ = 0;
  } else {
    file_left_ -= static_cast<std::uint64_t>(n);
  }
  if (file_left_ == 0) file_.Close();
  send_blocked_ = n > 0 && static_cast<std::size_t>(n) < want;
  return n;
}

long Connection::SendQueued(int* error) {
  if (websocket_ != nullptr) return SendFrames(error);
  std::size_t sent = 0;
  send_blocked_ = false;
  while (sent < kMaxSendPerPass && !send_blocked_) {
    std::size_t budget = kMaxSendPerPass - sent;
    if (out_count_ == 0) {
      if (file_left_ == 0) break;
      long n = SendFilePart(budget, error);
      if (n < 0) {
        send_blocked_ = true;
        return sent > 0 && platform::IsWouldBlock(*error) ? static_cast<long>(sent) : n;
      }
      if (n == 0) break;
      sent += static_cast<std::size_t>(n);
      continue;
    }
    platform::IoSlice slices[platform::kMaxIoSlices];
    std::size_t count = GatherQueued(slices, 0, budget);
    std::size_t want = 0;
    for (std::size_t i = 0; i < count; ++i) want += slices[i].size;
    // The first bytes of a file's answer (its header) wait to go out with
    // the file's first bytes in one segment.
    bool more = want == out_count_ && file_left_ > 0;
    long n = platform::SendSlices(socket_.fd(), slices, count, more, error);
    if (n < 0) {
      send_blocked_ = true;
      return sent > 0 && platform::IsWouldBlock(*error) ? static_cast<long>(sent) : n;
    }
    DropQueued(static_cast<std::size_t>(n));
    sent += static_cast<std::size_t>(n);
    send_blocked_ = static_cast<std::size_t>(n) < want;
  }
  return static_cast<long>(sent);
}

long Connection::SendFrames(int* error) {
  WebSocketLink& link = *websocket_;
  std::size_t sent = 0;
  send_blocked_ = false;
  while (sent < kMaxSendPerPass && !send_blocked_) {
    if (!link.has_pending() && frame_left_ == 0) {
      // Between frames: a control reply first, then the next data frame
      // over what is queued.
      std::uint8_t control[kMaxFrameHeader + kMaxControlPayload];
      if (std::size_t size = link.NextControlFrame(control); size > 0) {
        link.Keep(control, size);
      } else if (!link.open()) {
        DropQueued(out_count_);  // the close frame is out; nothing may follow it
        break;
      } else if (out_count_ > 0) {
        frame_left_ = std::min(out_count_, kMaxSendPerPass - sent);
        std::uint8_t header[kMaxFrameHeader];
        link.Keep(header, EncodeFrameHeader(kOpBinary, frame_left_, header));
      } else {
        break;
      }
    }
    platform::IoSlice slices[platform::kMaxIoSlices];
    std::size_t count = 0;
    std::size_t pending = link.pending_size();
    if (pending > 0) slices[count++] = platform::IoSlice{link.pending_data(), pending};
    count = GatherQueued(slices, count, frame_left_);
    std::size_t want = 0;
    for (std::size_t i = 0; i < count; ++i) want += slices[i].size;
    long n = platform::SendSlices(socket_.fd(), slices, count, false, error);
    if (n < 0) {
      send_blocked_ = true;
      return sent > 0 && platform::IsWouldBlock(*error) ? static_cast<long>(sent) : n;
    }
    std::size_t done = static_cast<std::size_t>(n);
    std::size_t from_pending = std::min(done, pending);
    if (from_pending > 0) link.Sent(from_pending);
    std::size_t payload = done - from_pending;
    DropQueued(payload);
    frame_left_ -= payload;
    sent += done;
    send_blocked_ = done < want;
  }
  return static_cast<long>(sent);
}

void Connection::DropQueued(std::size_t count) {
  out_count_ -= count;
  while (count > 0) {
    std::size_t left = out_[out_first_].size - out_head_;
    if (count < left) {
      out_head_ += count;
      break;
    }
    count -= left;
    manager_->released_bytes_ += out_[out_first_].block.capacity;
    manager_->pool_.Give(out_[out_first_].block);
    out_[out_first_] = OutBlock();
    ++out_first_;
    out_head_ = 0;
  }
  if (out_first_ == out_.size()) {
    // Drained: the block list keeps its few slots, not the blocks.
    out_.clear();
    out_first_ = 0;
    out_head_ = 0;
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
  if (!input_full() && !peer_closed_) interest |= platform::kReadable;
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

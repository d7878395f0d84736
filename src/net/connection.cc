// Connection records: input and output buffers with link scrambling, and
// the sends and receives of one pass, through a TLS engine where there is
// one.
#include "net/connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
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

bool Connection::PrepareInput() {
  if (in_ == nullptr) {
    in_.reset(new (std::nothrow) std::uint8_t[kInputBufferSize]);
    if (in_ == nullptr) return false;
    in_capacity_ = kInputBufferSize;
  } else if (in_start_ > 0 && in_capacity_ - in_count_ < in_capacity_ / 4) {
    // Only what the owner has not taken moves down, once per receive: a
    // partial message, never the messages already handled.
    std::memmove(in_.get(), in_.get() + in_start_, in_count_ - in_start_);
    in_ready_ -= in_start_;
    in_count_ -= in_start_;
    in_start_ = 0;
  }
  return true;
}

long Connection::ReceiveOnce(int* error) {
  if (!PrepareInput()) {
    *error = ENOMEM;
    return -1;
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

long Connection::ReceiveTls(int* error, bool* ended) {
  long n = 0;
  std::size_t held = tls_->buffered_input();
  if (held < kTlsInputCap) {
    std::uint8_t cipher[kTlsInputCap];
    n = platform::Receive(socket_.fd(), cipher, kTlsInputCap - held, error);
    if (n < 0) {
      if (!platform::IsWouldBlock(*error)) return -1;
      n = 0;
    } else if (n == 0) {
      *ended = true;
    } else if (tls_->Feed(cipher, static_cast<std::size_t>(n)) != kOk) {
      return n;
    }
  }
  DrainTls();
  // The peer's close_notify: it sends nothing more.
  if (tls_->state() == TlsEngine::State::kClosed) *ended = true;
  return n;
}

void Connection::DrainTls() {
  tls_stalled_ = false;
  while (tls_->buffered_input() > 0 && !tls_->failed()) {
    std::size_t allowed = kInputLimit - std::min(kInputLimit, in_count_ - in_start_);
    if (allowed == 0 || !PrepareInput()) {
      // Taken up once the owner makes room (ConsumeInput): the socket may
      // have nothing more to say, so the poller would not ask.
      tls_stalled_ = true;
      break;
    }
    if (in_capacity_ == in_count_ && in_capacity_ < kInputLimit) {
      // A record larger than the free room (a message that does not fit the
      // buffer): the buffer grows, as it does for a burst.
      std::size_t capacity = std::min(2 * in_capacity_, in_capacity_ + kInputLimit);
      std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[capacity]);
      if (grown == nullptr) {
        tls_stalled_ = true;
        break;
      }
      std::memcpy(grown.get(), in_.get() + in_start_, in_count_ - in_start_);
      in_ready_ -= in_start_;
      in_count_ -= in_start_;
      in_start_ = 0;
      in_ = std::move(grown);
      in_capacity_ = capacity;
    }
    std::size_t room = std::min(in_capacity_ - in_count_, allowed);
    if (room == 0) {
      tls_stalled_ = true;
      break;
    }
    std::size_t got = tls_->Read(in_.get() + in_count_, room);
    if (got == 0) break;  // the rest of a record is still to come
    TakeReceived(got);
    if (websocket_ != nullptr && websocket_->failed()) break;
  }
  if (in_ != nullptr && in_count_ == in_start_) ConsumeInput(0);
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

std::size_t Connection::FrameSlices(platform::IoSlice* slices, std::size_t frame_max,
                                    std::size_t max, std::size_t* pending) {
  WebSocketLink& link = *websocket_;
  if (!link.has_pending() && frame_left_ == 0) {
    // Between frames: a control reply first, then the next data frame over
    // what is queued.
    std::uint8_t control[kMaxFrameHeader + kMaxControlPayload];
    if (std::size_t size = link.NextControlFrame(control); size > 0) {
      link.Keep(control, size);
    } else if (!link.open()) {
      DropQueued(out_count_);  // the close frame is out; nothing may follow it
      return 0;
    } else if (out_count_ > 0) {
      frame_left_ = std::min(out_count_, frame_max);
      std::uint8_t header[kMaxFrameHeader];
      link.Keep(header, EncodeFrameHeader(kOpBinary, frame_left_, header));
    } else {
      return 0;
    }
  }
  std::size_t count = 0;
  *pending = std::min(link.pending_size(), max);
  if (*pending > 0) slices[count++] = platform::IoSlice{link.pending_data(), *pending};
  return GatherQueued(slices, count, std::min(frame_left_, max - *pending));
}

void Connection::FrameSent(std::size_t count, std::size_t pending) {
  std::size_t from_pending = std::min(count, pending);
  if (from_pending > 0) websocket_->Sent(from_pending);
  std::size_t payload = count - from_pending;
  DropQueued(payload);
  frame_left_ -= payload;
}

long Connection::SendFrames(int* error) {
  std::size_t sent = 0;
  send_blocked_ = false;
  while (sent < kMaxSendPerPass && !send_blocked_) {
    platform::IoSlice slices[platform::kMaxIoSlices];
    std::size_t pending = 0;
    std::size_t count = FrameSlices(slices, kMaxSendPerPass - sent,
                                    std::numeric_limits<std::size_t>::max(), &pending);
    if (count == 0) break;
    std::size_t want = 0;
    for (std::size_t i = 0; i < count; ++i) want += slices[i].size;
    long n = platform::SendSlices(socket_.fd(), slices, count, false, error);
    if (n < 0) {
      send_blocked_ = true;
      return sent > 0 && platform::IsWouldBlock(*error) ? static_cast<long>(sent) : n;
    }
    std::size_t done = static_cast<std::size_t>(n);
    FrameSent(done, pending);
    sent += done;
    send_blocked_ = done < want;
  }
  return static_cast<long>(sent);
}

long Connection::SendTls(int* error) {
  std::size_t sent = 0;
  send_blocked_ = false;
  while (sent < kMaxSendPerPass && !send_blocked_) {
    if (tls_->output_size() == 0) {
      if (tls_->handshake_done()) (void)EncryptNext();
      if (tls_->failed()) {
        *error = EPROTO;
        return -1;
      }
      // All is encrypted: a connection that closes says so, so that the
      // peer can tell the end of the stream from a cut, in the same send as
      // the last bytes.
      if (close_when_flushed_ && !tls_->closing() && queued() == tls_->output_size() &&
          file_left_ == 0) {
        tls_->Close();
      }
      if (tls_->output_size() == 0) break;
    }
    std::size_t want = std::min(tls_->output_size(), kMaxSendPerPass - sent);
    long n = platform::Send(socket_.fd(), tls_->output(), want, error);
    if (n < 0) {
      send_blocked_ = true;
      return sent > 0 && platform::IsWouldBlock(*error) ? static_cast<long>(sent) : n;
    }
    tls_->Consume(static_cast<std::size_t>(n));
    sent += static_cast<std::size_t>(n);
    send_blocked_ = static_cast<std::size_t>(n) < want;
  }
  return static_cast<long>(sent);
}

std::size_t Connection::EncryptNext() {
  // Plaintext goes to the engine a record at a time: a WebSocket frame's
  // header travels in one record with its payload, and small queued
  // blocks share records.
  std::uint8_t plain[16384];
  std::size_t total = 0;
  // The batch's records go into one output buffer, sized once.
  tls_->ReserveOutput(static_cast<std::size_t>(
      std::min<std::uint64_t>(kTlsSendBatch, out_count_ + file_left_)));
  while (total < kTlsSendBatch) {
    std::size_t filled = 0;
    while (filled < sizeof plain) {
      std::size_t room = sizeof plain - filled;
      platform::IoSlice slices[platform::kMaxIoSlices];
      std::size_t pending = 0;
      std::size_t count = websocket_ != nullptr
                              ? FrameSlices(slices, kMaxSendPerPass, room, &pending)
                              : GatherQueued(slices, 0, room);
      if (count == 0) {
        if (websocket_ != nullptr || out_count_ > 0 || file_left_ == 0) break;
        // The file, read in pieces: without kernel TLS its bytes must pass
        // through the engine, but never more than a batch of them at once.
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(file_left_, room));
        long n = file_.ReadAt(plain + filled, want, file_offset_);
        if (n <= 0) {
          // The file shrank or cannot be read: its body ends here.
          file_left_ = 0;
        } else {
          file_offset_ += static_cast<std::uint64_t>(n);
          file_left_ -= static_cast<std::uint64_t>(n);
          filled += static_cast<std::size_t>(n);
        }
        if (file_left_ == 0) file_.Close();
        continue;
      }
      std::size_t copied = 0;
      for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(plain + filled + copied, slices[i].data, slices[i].size);
        copied += slices[i].size;
      }
      if (websocket_ != nullptr) {
        FrameSent(copied, pending);
      } else {
        DropQueued(copied);
      }
      filled += copied;
    }
    if (filled == 0) break;
    if (tls_->Write(plain, filled) != kOk) break;
    total += filled;
  }
  return total;
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
  bool may_read = !input_full() && !peer_closed_;
  if (may_read && tls_ != nullptr) {
    // Plaintext the engine kept while the input was full is taken in the
    // next pass: the socket may be quiet, so the poller would not tell.
    if (tls_stalled_) manager_->ScheduleRead(*this);
    may_read = tls_->buffered_input() < kTlsInputCap;
  }
  if (may_read) interest |= platform::kReadable;
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

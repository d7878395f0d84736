// Connection records of the transport: a socket, a fixed input buffer that
// holds descrambled bytes, and a growing output queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/intrusive_list.h"
#include "net/scramble.h"
#include "net/websocket.h"
#include "platform/socket.h"

namespace zanth::net {

class Connection;
class ConnectionManager;

inline constexpr std::size_t kInputBufferSize = 16384;
// Output blocks: the first block of an empty queue holds kFirstOutputBlock
// bytes, each further one twice the last, up to kMaxOutputBlock; a larger
// message gets a block of its own size.
inline constexpr std::size_t kFirstOutputBlock = 512;
inline constexpr std::size_t kMaxOutputBlock = 16384;
inline constexpr std::size_t kMaxSendPerPass = 1024;

// The routines a listener or an outgoing connection gives for its
// connections. All run on the main thread, from inside ConnectionManager::Poll.
class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;
  // An accepted connection, in the pass after the accept. Stores the owner's
  // record in user_data. A non-zero result closes the connection at once.
  virtual int OnAccept(Connection& connection) = 0;
  // The connection was lost (read or send error, or the peer closed it). The
  // connection is closing; its owner removes it.
  virtual void OnLost(Connection& connection) = 0;
  // An outgoing connection is established.
  virtual void OnConnected(Connection& /*connection*/) {}
  // The manager removed the connection by itself (close-when-flushed); the
  // owner must forget it.
  virtual void OnRemoved(Connection& /*connection*/) {}
};

class Connection {
 public:
  Connection(ConnectionManager* manager, platform::Socket socket, bool scrambled);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Appends bytes to the output queue, scrambled on a scrambled connection
  // (count must then be a multiple of 16). Does nothing and returns 0 while
  // closing; kNoMemory when the queue cannot grow (nothing is queued).
  [[nodiscard]] int QueueSend(const std::uint8_t* bytes, std::size_t count);

  // Plain bytes waiting in the input buffer.
  std::size_t ReadyCount() const { return in_ready_; }
  // Moves up to count plain bytes to destination; returns how many.
  std::size_t TakeInput(std::uint8_t* destination, std::size_t count);

  void MarkClosing();
  void CloseWhenFlushed();
  bool closing() const { return closing_; }
  bool close_when_flushed() const { return close_when_flushed_; }
  bool scrambled() const { return scrambled_; }
  bool connect_pending() const { return connect_pending_; }

  const std::string& peer_address() const { return peer_address_; }
  int fd() const { return socket_.fd(); }
  // Bytes waiting to be sent, those held by a WebSocket link included.
  std::size_t queued() const {
    return out_count_ + (websocket_ != nullptr ? websocket_->queued() : 0);
  }
  bool websocket() const { return websocket_ != nullptr; }
  std::size_t in_count() const { return in_count_; }

  ConnectionHandler* handler() const { return handler_; }
  // The owner's record (not owned here).
  void* user_data = nullptr;

  ListNode<Connection> link_;

 private:
  friend class ConnectionManager;

  // Receives once; returns bytes received, 0 on orderly close, -1 on error.
  long ReceiveOnce(int* error);
  // Sends at most kMaxSendPerPass bytes; returns the count or -1.
  long SendOnce(int* error);
  // The same on a WebSocket link: the rest of a started frame, else one
  // control reply, else up to kMaxSendPerPass queued bytes in one binary
  // frame.
  long SendFrameOnce(int* error);
  // Copies up to max bytes from the head of the output queue; returns how many.
  std::size_t CopyQueued(std::uint8_t* destination, std::size_t max) const;
  // Removes count bytes from the head of the output queue.
  void DropQueued(std::size_t count);
  void UpdateInterest();

  ConnectionManager* manager_;
  platform::Socket socket_;
  ConnectionHandler* handler_ = nullptr;
  std::string peer_address_;
  bool scrambled_;
  bool closing_ = false;
  bool close_when_flushed_ = false;
  bool connect_pending_ = false;
  bool is_new_ = false;
  bool removed_ = false;     // waiting for the end of a pass to be freed
  bool unwatched_ = false;   // no longer in the poller
  std::uint32_t ready_ = 0;  // readiness seen in this pass
  std::uint32_t interest_ = 0;
  LinkScrambler send_scrambler_;
  LinkDescrambler receive_descrambler_;
  std::size_t in_count_ = 0;
  std::size_t in_ready_ = 0;
  std::unique_ptr<std::uint8_t[]> in_;
  // The output queue: blocks sized as kFirstOutputBlock says, so appending
  // never copies what is already queued, and an idle connection that is
  // sent one small message holds a small block, not kMaxOutputBlock; out_head_
  // bytes of the first block are sent.
  std::deque<std::vector<std::uint8_t>> out_;
  std::size_t out_head_ = 0;
  std::size_t out_count_ = 0;
  // Set when the connection carries its stream in WebSocket frames.
  std::unique_ptr<WebSocketLink> websocket_;
};

}  // namespace zanth::net

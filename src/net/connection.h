// Connection records of the transport: a socket, a fixed input buffer that
// holds descrambled bytes, and a growing output queue; on a TLS connection
// an engine between them and the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/intrusive_list.h"
#include "net/block_pool.h"
#include "net/scramble.h"
#include "net/tls.h"
#include "net/websocket.h"
#include "platform/file.h"
#include "platform/socket.h"

namespace zanth::net {

class Connection;
class ConnectionManager;

// The input buffer: a connection takes one of kInputBufferSize bytes when
// bytes arrive and gives it back once every byte is taken. A burst larger
// than its free room lands in a spill area on the stack (kInputSpill bytes)
// and the buffer grows to hold it. A connection holds at most kInputLimit
// bytes for its owner, and stops reading while it holds that many.
inline constexpr std::size_t kInputBufferSize = 16384;
inline constexpr std::size_t kInputSpill = 65536;
inline constexpr std::size_t kInputLimit = 256 * 1024;
// Output blocks: the first block of an empty queue holds kFirstOutputBlock
// bytes, each further one twice the last, up to kMaxOutputBlock; a larger
// message gets a block of its own size.
inline constexpr std::size_t kFirstOutputBlock = 512;
inline constexpr std::size_t kMaxOutputBlock = 16384;
// Fairness: a connection sends at most this many bytes in one pass, as many
// gathering sends from its queued blocks as the socket takes, so that a
// connection with megabytes queued holds up the others by a bounded amount
// of work. The rest waits for the next pass.
inline constexpr std::size_t kMaxSendPerPass = 256 * 1024;
// Connections that send in one pass, all together. A broadcast to thousands
// of connections is spread over several passes, so that a pass stays short and
// what is queued meanwhile to a quiet connection need not wait for all of
// it. Every connection still sends in at most one turn per pass.
inline constexpr std::size_t kSendsPerPass = 512;
// Freed output blocks go back to the system once kReleaseWhenQuiet bytes of
// them were freed and nothing was sent for kQuietBeforeReleaseMs; while
// sends go on, once kReleaseAfter bytes were freed and kReleaseEveryMs
// have passed since the last time.
inline constexpr std::size_t kReleaseWhenQuiet = 64u << 10;
inline constexpr std::size_t kReleaseAfter = 8u << 20;
inline constexpr std::uint32_t kQuietBeforeReleaseMs = 250;
inline constexpr std::uint32_t kReleaseEveryMs = 10000;
// TLS: a connection reads the socket only while its engine holds less than
// kTlsInputCap bytes of ciphertext it has not decrypted, and reads at most
// that many at once. A send encrypts up to kTlsSendBatch bytes of what is
// queued (or of a file, read in pieces) before it sends them, so that the
// ciphertext held per connection stays about that size.
inline constexpr std::size_t kTlsInputCap = 64 * 1024;
inline constexpr std::size_t kTlsSendBatch = 64 * 1024;

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
  // The peer ended its stream (an orderly close of its sending side).
  // Returning true keeps the connection for sending: nothing more is read
  // from it, and its owner ends it. false, the default, makes it a lost
  // connection, as a read error does.
  virtual bool OnPeerClosed(Connection& /*connection*/) { return false; }
  // Bytes were received; some may now be ready to take.
  virtual void OnReceived(Connection& /*connection*/) {}
  // An outgoing connection is established.
  virtual void OnConnected(Connection& /*connection*/) {}
  // The manager removed the connection by itself (close-when-flushed); the
  // owner must forget it.
  virtual void OnRemoved(Connection& /*connection*/) {}
};

class Connection {
 public:
  // peer_address: the peer's address when the caller knows it (an accept
  // tells it); else it is asked of the socket.
  Connection(ConnectionManager* manager, platform::Socket socket, bool scrambled,
             const std::string* peer_address = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Appends bytes to the output queue, scrambled on a scrambled connection
  // (count must then be a multiple of 16): the bytes are scrambled as they
  // are copied into the queue's block, so a message framed once for many
  // receivers is copied once per receiver. Does nothing and returns 0 while
  // closing; kNoMemory when the queue cannot grow (nothing is queued).
  [[nodiscard]] int QueueSend(const std::uint8_t* bytes, std::size_t count);

  // Sends the open file's bytes [offset, offset + length) after everything
  // queued, straight from the file to the socket (on a TLS connection read
  // in pieces and encrypted); the connection owns the file until they are
  // out (or it is removed). Only on an unscrambled connection that carries
  // no WebSocket link; at most one file at a time.
  void QueueFile(platform::File file, std::uint64_t offset, std::uint64_t length);

  // Plain bytes waiting in the input buffer.
  std::size_t ReadyCount() const { return in_ready_ - in_start_; }
  // The plain bytes waiting, ReadyCount() of them, for an owner that parses
  // them where they lie; valid until the next receive or ConsumeInput.
  const std::uint8_t* InputData() const { return in_.get() + in_start_; }
  // Drops count (at most ReadyCount()) bytes from the front of the input.
  void ConsumeInput(std::size_t count);
  // Moves up to count plain bytes to destination; returns how many.
  std::size_t TakeInput(std::uint8_t* destination, std::size_t count);
  // Reading has stopped until the owner takes some of what waits.
  bool input_full() const { return in_count_ - in_start_ >= kInputLimit; }

  void MarkClosing();
  void CloseWhenFlushed();
  bool closing() const { return closing_; }
  bool close_when_flushed() const { return close_when_flushed_; }
  bool scrambled() const { return scrambled_; }
  bool connect_pending() const { return connect_pending_; }
  // The peer ended its stream and the owner kept the connection.
  bool peer_closed() const { return peer_closed_; }

  const std::string& peer_address() const { return peer_address_; }
  // The address the connection goes by from now on: the visitor's that a
  // trusted reverse proxy forwards.
  void set_peer_address(std::string address) { peer_address_ = std::move(address); }
  int fd() const { return socket_.fd(); }
  // Bytes held in memory waiting to be sent, those held by a WebSocket
  // link or a TLS engine included; the bytes of a queued file are not.
  std::size_t queued() const {
    return out_count_ + (websocket_ != nullptr ? websocket_->queued() : 0) +
           (tls_ != nullptr ? tls_->output_size() + tls_->buffered_plaintext() : 0);
  }
  bool websocket() const { return websocket_ != nullptr; }
  // The connection came to a TLS listener.
  bool tls() const { return tls_ != nullptr; }
  // Bytes held in the input buffer, plain or not.
  std::size_t in_count() const { return in_count_ - in_start_; }
  // Bytes of memory the input buffer holds (0 while nothing waits).
  std::size_t input_capacity() const { return in_ != nullptr ? in_capacity_ : 0; }

  ConnectionHandler* handler() const { return handler_; }
  // The owner's record (not owned here).
  void* user_data = nullptr;

  ListNode<Connection> link_;
  // In the manager's list of connections due to send (fresh or backlog).
  ListNode<Connection> send_link_;

 private:
  friend class ConnectionManager;

  // Receives once, as much as the buffer and the spill area take; returns
  // bytes received, 0 on orderly close, -1 on error.
  long ReceiveOnce(int* error);
  // The same on a TLS connection: one receive of ciphertext for the engine
  // (unless it holds kTlsInputCap already), then as much plaintext as the
  // input takes. Returns the bytes received from the socket (0 when it had
  // none), or -1 on a socket error; *ended is set when the peer ended its
  // stream (at the socket, or with its close_notify). A failure of the
  // engine shows in tls_->failed().
  long ReceiveTls(int* error, bool* ended);
  // Moves the engine's plaintext into the input while it has room; notes
  // when some may be left behind for want of room.
  void DrainTls();
  // Makes the input buffer ready for more bytes: taken when there is none
  // (false when memory ran out), the waiting bytes moved down when its free
  // room runs short.
  bool PrepareInput();
  // Places received bytes (at in_count_): the peer's seed, WebSocket
  // frames, descrambling in place.
  void TakeReceived(std::size_t received);
  // Sends from the queued blocks (then the file) as much as the socket
  // takes, at most kMaxSendPerPass bytes; returns the count or -1. A send
  // that the socket refuses in full or in part marks the connection blocked.
  long SendQueued(int* error);
  // The same on a WebSocket link: frames are built over the queued blocks
  // (a header in front of them, the blocks sent where they lie), with the
  // rest of a started frame first and control replies between frames.
  long SendFrames(int* error);
  // The same on a TLS connection: the engine's ciphertext first; once it
  // has all gone, the next kTlsSendBatch bytes of the stream are encrypted
  // (and, once everything is out on a close-when-flushed connection, the
  // close_notify). The bound counts ciphertext. -1 with EPROTO when the
  // engine failed.
  long SendTls(int* error);
  // Encrypts up to kTlsSendBatch bytes of what follows in the stream
  // (frames on a WebSocket link, else the queue, then the file); returns
  // how many plain bytes went in.
  std::size_t EncryptNext();
  // The next bytes of a WebSocket link's stream as slices, at most max in
  // all: the link's pending bytes, then the payload of the frame under way.
  // Between frames it starts the next: a control reply, or a data frame of
  // at most frame_max bytes over what is queued. *pending says how many
  // bytes of the slices are the link's own. Returns the slice count, 0
  // when nothing is left to frame.
  std::size_t FrameSlices(platform::IoSlice* slices, std::size_t frame_max, std::size_t max,
                          std::size_t* pending);
  // count bytes of what FrameSlices gave (pending of them the link's) went out.
  void FrameSent(std::size_t count, std::size_t pending);
  // Everything is out: the queue, the file, and on a TLS connection the
  // ciphertext, the close_notify included once the handshake was done.
  bool flushed() const {
    return queued() == 0 && file_left_ == 0 &&
           (tls_ == nullptr || tls_->closing() || !tls_->handshake_done());
  }
  // Slices over up to max bytes from the head of the output queue, after
  // the count slices already in slices; returns the new count.
  std::size_t GatherQueued(platform::IoSlice* slices, std::size_t count,
                           std::size_t max) const;
  // Removes count bytes from the head of the output queue.
  void DropQueued(std::size_t count);
  // Sends the file's next bytes once the queue is empty.
  long SendFilePart(std::size_t max, int* error);
  // Brings the poller interest and the send lists in line with the state:
  // reads while the input buffer has room; a send in the next pass while
  // bytes wait and the socket took the last ones; the poller's write
  // readiness only for a connect in progress or a blocked socket.
  void UpdateInterest();
  // Something waits to go out: queued bytes, a WebSocket frame remainder or
  // control frame, or a close that waits for the queue to drain. On a TLS
  // connection whose handshake is under way only the engine's own output
  // can go.
  bool wants_send() const {
    if (tls_ != nullptr) {
      if (tls_->output_size() > 0) return true;
      if (!tls_->handshake_done()) return false;
      return queued() > 0 || file_left_ > 0 || (close_when_flushed_ && !tls_->closing());
    }
    return queued() > 0 || file_left_ > 0 || close_when_flushed_;
  }

  ConnectionManager* manager_;
  platform::Socket socket_;
  ConnectionHandler* handler_ = nullptr;
  std::string peer_address_;
  bool scrambled_;
  bool closing_ = false;
  bool close_when_flushed_ = false;
  bool connect_pending_ = false;
  bool peer_closed_ = false;
  bool is_new_ = false;
  bool send_blocked_ = false;  // the socket refused bytes; wait for the poller
  bool send_due_ = false;      // chosen to send in this pass
  bool read_due_ = false;      // in the manager's list of reads due in the next pass
  bool tls_stalled_ = false;   // the engine may hold plaintext the input had no room for
  bool listed_ = false;      // in the manager's ready list for this pass
  std::uint64_t serial_ = 0;  // grows with every connection added
  bool removed_ = false;     // waiting for the end of a pass to be freed
  bool unwatched_ = false;   // no longer in the poller
  std::uint32_t ready_ = 0;  // readiness seen in this pass
  std::uint32_t interest_ = 0;
  LinkScrambler send_scrambler_;
  LinkDescrambler receive_descrambler_;
  // The input buffer: bytes [in_start_, in_ready_) are plain and wait for
  // the owner, [in_ready_, in_count_) a partial scrambled block. Taken by a
  // receive and given back once every byte is taken, so that an idle
  // connection holds none of it.
  std::size_t in_start_ = 0;
  std::size_t in_ready_ = 0;
  std::size_t in_count_ = 0;
  std::size_t in_capacity_ = 0;
  std::unique_ptr<std::uint8_t[]> in_;
  // The output queue: blocks sized as kFirstOutputBlock says, so appending
  // never copies what is already queued, and an idle connection that is
  // sent one small message holds a small block, not kMaxOutputBlock. The
  // blocks before out_first_ are sent (and freed), and out_head_ bytes of
  // block out_first_. An empty queue allocates nothing.
  // A block of the manager's pool (not zeroed: bytes are copied in), given
  // back when it is sent or the connection goes.
  struct OutBlock {
    BlockPool::Block block;
    std::size_t size = 0;
  };
  std::vector<OutBlock> out_;
  std::size_t out_first_ = 0;
  std::size_t out_head_ = 0;
  std::size_t out_count_ = 0;
  // Payload bytes of the WebSocket frame under way that are still queued.
  std::size_t frame_left_ = 0;
  // A file whose bytes follow the queue.
  platform::File file_;
  std::uint64_t file_offset_ = 0;
  std::uint64_t file_left_ = 0;
  // Set when the connection carries its stream in WebSocket frames.
  std::unique_ptr<WebSocketLink> websocket_;
  // Set on a connection accepted by a TLS listener: the byte stream (and
  // any WebSocket frames) goes through it.
  std::unique_ptr<TlsEngine> tls_;
};

}  // namespace zanth::net

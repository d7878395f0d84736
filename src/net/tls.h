// TLS for the transport: the context that holds the site's certificate and
// key, and the engine of one connection, which turns the peer's ciphertext
// into plaintext and plaintext into ciphertext on memory buffers. The
// transport wraps a connection's byte stream with an engine the way a
// WebSocket link wraps one in frames; the engine itself never touches a
// socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// OpenSSL's handles, named without its headers: only net/tls.cc sees them.
struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

namespace zanth::net {

// A handshake not done this long after the connection came is dropped.
inline constexpr std::int64_t kTlsHandshakeSeconds = 10;

class TlsEngine;

// Ciphertext on its way to the peer. OpenSSL writes its records straight
// into it (the engine's output BIO appends here), and the transport sends
// from it, so a record is copied once between being sealed and being sent.
class TlsOutput {
 public:
  const std::uint8_t* data() const { return bytes_.data() + head_; }
  std::size_t size() const { return bytes_.size() - head_; }
  // Makes room for count more bytes at once, so that a batch of records is
  // appended without the buffer growing, and moving, record by record.
  void Reserve(std::size_t count);
  // false when memory ran out (nothing is taken).
  [[nodiscard]] bool Append(const std::uint8_t* data, std::size_t count);
  // Drops count bytes that went out; a drained buffer is given back, so an
  // idle connection keeps none.
  void Consume(std::size_t count);

 private:
  // Moves the bytes not yet sent to the front.
  void Compact();

  std::vector<std::uint8_t> bytes_;
  std::size_t head_ = 0;
};

// The server's TLS settings and its certificate: TLS 1.2 and 1.3 only,
// OpenSSL's default (secure) cipher list, no renegotiation.
class TlsContext {
 public:
  TlsContext();
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // Loads a PEM certificate file (the server's certificate first, then any
  // chain up to its authority, as a full-chain file has them) and the PEM
  // file of its private key (not encrypted). On success the pair serves
  // every engine made from now on; engines made before keep the pair they
  // started with, so a reload drops no connection. On failure the pair in
  // use stays and *why says what failed, naming the file. Returns 0, the
  // system error when a file cannot be read, or kFailed.
  [[nodiscard]] int Load(const std::string& certificate_path, const std::string& key_path,
                         std::string* why);
  // The same from PEM texts in memory; names are what *why calls them.
  [[nodiscard]] int LoadPem(const std::string& certificate_pem, const std::string& certificate_name,
                            const std::string& key_pem, const std::string& key_name,
                            std::string* why);
  bool loaded() const { return ctx_ != nullptr; }
  // The pair in use, for the log: its subject and when it expires.
  const std::string& description() const { return description_; }

  // The engine of a new connection that came at now (seconds of the
  // platform clock). nullptr when no pair is loaded or memory ran out.
  std::unique_ptr<TlsEngine> NewEngine(std::int64_t now) const;

 private:
  struct Free {
    void operator()(ssl_ctx_st* ctx) const;
  };
  std::unique_ptr<ssl_ctx_st, Free> ctx_;
  std::string description_;
};

// The server's side of one TLS connection. Feed it what the peer sent,
// then Read the plaintext; Write plaintext and send what output() holds.
// Any call may leave ciphertext in output() (handshake records, alerts, a
// reply to a key update), so the transport looks at it after each.
class TlsEngine {
 public:
  enum class State {
    kHandshaking,
    kOpen,
    kClosed,  // the peer sent its close_notify: it sends nothing more
    kFailed,  // error() says why; a fatal alert may wait in output()
  };

  ~TlsEngine();
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;

  // Takes count bytes of ciphertext from the peer and moves the handshake
  // on. Returns 0, or kFailed when the bytes are not TLS or the handshake
  // failed (counted in the metrics when it was still under way). Call Read
  // after every Feed: the bytes that finish a handshake often carry data.
  [[nodiscard]] int Feed(const std::uint8_t* data, std::size_t count);
  // Moves up to max bytes of decrypted plaintext to out; returns how many,
  // 0 when none is complete yet. A record that does not decrypt fails the
  // engine; a close_notify closes it.
  std::size_t Read(std::uint8_t* out, std::size_t max);
  // Plaintext for the peer: encrypted at once once the handshake is done,
  // kept until then. Returns 0, or kFailed when the engine has failed or is
  // closing (nothing is taken).
  [[nodiscard]] int Write(const std::uint8_t* data, std::size_t count);
  // Makes room in the output for the records of this much plaintext, which
  // the caller is about to write in pieces.
  void ReserveOutput(std::size_t plaintext);
  // Queues the close_notify; nothing is written after it.
  void Close();

  // Fails a handshake still under way kTlsHandshakeSeconds after the engine
  // was made (counted in the metrics). Returns true when the engine has
  // failed, now or before.
  bool CheckDeadline(std::int64_t now);

  // Ciphertext waiting to go to the peer, and the removal of count bytes of
  // it once they went out.
  const std::uint8_t* output() const { return out_.data(); }
  std::size_t output_size() const { return out_.size(); }
  void Consume(std::size_t count) { out_.Consume(count); }
  // Ciphertext taken in and not yet decrypted, and plaintext waiting for
  // the handshake: the transport stops reading while the first is large.
  std::size_t buffered_input() const;
  std::size_t buffered_plaintext() const { return early_.size(); }

  State state() const { return state_; }
  bool handshake_done() const { return handshake_done_; }
  bool failed() const { return state_ == State::kFailed; }
  // Close() was called: nothing more may be written.
  bool closing() const { return closing_; }
  const std::string& error() const { return error_; }
  // The protocol version and cipher, "TLSv1.3 TLS_AES_256_GCM_SHA384", once
  // the handshake is done.
  std::string Description() const;

 private:
  friend class TlsContext;
  // Points out, a BIO of the output method, at the engine's output.
  TlsEngine(ssl_st* ssl, bio_st* in, bio_st* out, std::int64_t started_at);

  void Handshake();
  // Writes plaintext through OpenSSL; 0 or kFailed.
  int Encrypt(const std::uint8_t* data, std::size_t count);
  // Fails the engine from OpenSSL's error for result, with what it was doing.
  void Fail(int result, const char* doing);
  void FailWith(std::string error);

  struct Free {
    void operator()(ssl_st* ssl) const;
  };
  std::unique_ptr<ssl_st, Free> ssl_;
  bio_st* in_;   // owned by ssl_
  std::int64_t started_at_;
  State state_ = State::kHandshaking;
  bool handshake_done_ = false;
  bool closing_ = false;
  std::string error_;
  TlsOutput out_;  // the output BIO's destination
  std::vector<std::uint8_t> early_;  // written before the handshake was done
};

}  // namespace zanth::net

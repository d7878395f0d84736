// TLS for the tests: certificates made with the openssl command, and a
// client written directly on OpenSSL that speaks through memory buffers,
// so that a test moves its bytes to and from the server side by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// OpenSSL's handles, named without its headers.
struct ssl_st;

namespace zanth::testing {

// Runs tests/support/make_test_certs.sh into dir (see it for the files).
// Returns false, with what the script said in *output, when it failed.
bool MakeTestCertificates(const std::string& dir, std::string* output);

// A TLS client on memory buffers. It trusts the root certificate in
// ca_file and checks that the server's certificate names host.
class TlsTestClient {
 public:
  struct Options {
    int min_version = 0;  // 0 for OpenSSL's defaults, else TLS1_2_VERSION and such
    int max_version = 0;
    bool any_security_level = false;  // lets old versions be offered at all
  };
  TlsTestClient(const std::string& ca_file, const std::string& host, Options options);
  TlsTestClient(const std::string& ca_file, const std::string& host)
      : TlsTestClient(ca_file, host, Options()) {}
  ~TlsTestClient();
  TlsTestClient(const TlsTestClient&) = delete;
  TlsTestClient& operator=(const TlsTestClient&) = delete;

  // Ciphertext from the server; moves the handshake on and keeps any
  // plaintext for TakePlaintext().
  void Feed(const std::uint8_t* data, std::size_t count);
  // Ciphertext for the server (the first call gives the ClientHello).
  std::string TakeOutput();
  // Encrypts plaintext for the server; false when the client cannot send.
  bool Write(const std::string& text);
  std::string TakePlaintext();
  // Sends the close_notify.
  void Close();

  bool handshake_done() const { return handshake_done_; }
  bool failed() const { return !error_.empty(); }
  // The reason of the failure, and OpenSSL's verdict on the certificate.
  const std::string& error() const { return error_; }
  bool peer_closed() const { return peer_closed_; }
  // The serial number of the server's certificate, in decimal; "" before
  // the handshake.
  std::string PeerSerial() const;
  // The negotiated protocol version, "TLSv1.3" for example.
  std::string Version() const;
  ssl_st* ssl() { return ssl_.get(); }

 private:
  struct Free {
    void operator()(ssl_st* ssl) const;
  };
  void Step();
  void TakeError();

  std::unique_ptr<ssl_st, Free> ssl_;
  std::string plaintext_;
  std::string error_;
  bool handshake_done_ = false;
  bool peer_closed_ = false;
};

// A TLS client over a loopback socket: a TlsTestClient whose bytes go
// through a non-blocking socket. Pump() moves what is ready either way and
// never waits, so that a test may drive a server of its own thread
// between two calls; the waits below are bounded.
class TlsConnection {
 public:
  // Connects to 127.0.0.1:port (from the local address from, when given);
  // the ClientHello goes with the first Pump().
  TlsConnection(std::uint16_t port, const std::string& ca_file, const std::string& host,
                const std::string& from = "", TlsTestClient::Options options = {});
  ~TlsConnection();
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Sends what the client has for the server as far as the socket takes
  // it (the rest waits for the next call), then takes what the server
  // sent; false once the server closed the socket (or it failed).
  bool Pump();
  // Ciphertext the socket has not taken yet.
  std::size_t unsent() const { return unsent_.size(); }
  // Pumps until the handshake is done or failed, at most timeout.
  bool Handshake(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Encrypts text and pumps it out (see Pump); false when the client
  // cannot send.
  bool Write(const std::string& text);
  // Moves up to size bytes of the plaintext received so far to buffer: the
  // count, 0 when the server has closed and nothing is left, -1 when nothing
  // has come yet (as a non-blocking receive says it).
  long Receive(void* buffer, std::size_t size);
  // Pumps until the server closes the connection, at most timeout; returns
  // all the plaintext received.
  std::string ReadToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  TlsTestClient& client() { return client_; }
  // The server closed its side of the socket.
  bool closed() const { return closed_; }

 private:
  TlsTestClient client_;
  int fd_ = -1;
  bool closed_ = false;
  std::string unsent_;
  std::string received_;
};

// One HTTPS request by way of TlsConnection: the plaintext answer, and
// what the client saw of the handshake.
struct HttpsAnswer {
  bool handshake_done = false;
  std::string error;   // the client's reason when the handshake failed
  std::string serial;  // the server certificate's serial number
  std::string answer;
  bool closed = false;  // the server's close_notify ended the answer
};
HttpsAnswer HttpsFetch(std::uint16_t port, const std::string& ca_file, const std::string& request,
                       const std::string& host = "localhost");

}  // namespace zanth::testing

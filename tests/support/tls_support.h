// TLS for the tests: certificates made with the openssl command, and a
// client written directly on OpenSSL that speaks through memory buffers,
// so that a test moves its bytes to and from the server side by hand.
#pragma once

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

}  // namespace zanth::testing

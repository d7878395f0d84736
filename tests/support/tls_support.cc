// Test certificates and the in-memory TLS client.
#include "support/tls_support.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/server_process.h"
#include "support/test_support.h"

namespace zanth::testing {

bool MakeTestCertificates(const std::string& dir, std::string* output) {
  std::string log = dir + "/make_test_certs.log";
  std::string command = "bash '" ZANTH_TEST_SUPPORT_DIR "/make_test_certs.sh' '" + dir + "' > '" +
                        log + "' 2>&1";
  int status = std::system(command.c_str());
  *output = ReadFileText(log);
  return status == 0;
}

void TlsTestClient::Free::operator()(ssl_st* ssl) const { SSL_free(ssl); }

TlsTestClient::TlsTestClient(const std::string& ca_file, const std::string& host,
                             Options options) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    error_ = "SSL_CTX_new failed";
    return;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
    error_ = "cannot load " + ca_file;
  }
  if (options.any_security_level) {
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
  }
  if (options.min_version != 0) SSL_CTX_set_min_proto_version(ctx, options.min_version);
  if (options.max_version != 0) SSL_CTX_set_max_proto_version(ctx, options.max_version);
  ssl_.reset(SSL_new(ctx));
  SSL_CTX_free(ctx);  // the SSL holds its own reference
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  BIO_set_mem_eof_return(in, -1);
  SSL_set_bio(ssl_.get(), in, out);
  SSL_set_connect_state(ssl_.get());
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl_.get());
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_.get(), host.c_str());
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
  }
  Step();  // the ClientHello
}

TlsTestClient::~TlsTestClient() = default;

void TlsTestClient::Feed(const std::uint8_t* data, std::size_t count) {
  if (count > 0) BIO_write(SSL_get_rbio(ssl_.get()), data, static_cast<int>(count));
  Step();
}

std::string TlsTestClient::TakeOutput() {
  BIO* out = SSL_get_wbio(ssl_.get());
  std::string bytes(BIO_ctrl_pending(out), '\0');
  if (!bytes.empty()) BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

bool TlsTestClient::Write(const std::string& text) {
  std::size_t written = 0;
  if (!handshake_done_ || failed()) return false;
  bool ok = SSL_write_ex(ssl_.get(), text.data(), text.size(), &written) == 1;
  if (!ok) TakeError();
  return ok && written == text.size();
}

std::string TlsTestClient::TakePlaintext() {
  std::string text;
  text.swap(plaintext_);
  return text;
}

void TlsTestClient::Close() { SSL_shutdown(ssl_.get()); }

std::string TlsTestClient::PeerSerial() const {
  X509* peer = SSL_get0_peer_certificate(ssl_.get());
  if (peer == nullptr) return "";
  long serial = ASN1_INTEGER_get(X509_get0_serialNumber(peer));
  return std::to_string(serial);
}

std::string TlsTestClient::Version() const { return SSL_get_version(ssl_.get()); }

void TlsTestClient::Step() {
  if (ssl_ == nullptr || failed()) return;
  ERR_clear_error();
  if (!handshake_done_) {
    int result = SSL_do_handshake(ssl_.get());
    if (result != 1) {
      int error = SSL_get_error(ssl_.get(), result);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) TakeError();
      return;
    }
    handshake_done_ = true;
  }
  char buffer[16384];
  for (;;) {
    std::size_t n = 0;
    int result = SSL_read_ex(ssl_.get(), buffer, sizeof buffer, &n);
    if (result == 1) {
      plaintext_.append(buffer, n);
      continue;
    }
    int error = SSL_get_error(ssl_.get(), result);
    if (error == SSL_ERROR_ZERO_RETURN) {
      peer_closed_ = true;
    } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      TakeError();
    }
    return;
  }
}

void TlsTestClient::TakeError() {
  unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  error_ = reason != nullptr ? reason : "failed";
  long verdict = SSL_get_verify_result(ssl_.get());
  if (verdict != X509_V_OK) {
    error_ += std::string(" (") + X509_verify_cert_error_string(verdict) + ")";
  }
  ERR_clear_error();
}

TlsConnection::TlsConnection(std::uint16_t port, const std::string& ca_file,
                             const std::string& host, const std::string& from,
                             TlsTestClient::Options options)
    : client_(ca_file, host, options) {
  fd_ = ConnectLoopback(port, from);
  if (fd_ >= 0) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

TlsConnection::~TlsConnection() {
  if (fd_ >= 0) close(fd_);
}

bool TlsConnection::Pump() {
  if (fd_ < 0) return false;
  for (int round = 0; round < 2; ++round) {
    // What the client has for the server, as far as the socket takes it;
    // the rest waits for the next call.
    unsent_ += client_.TakeOutput();
    while (!unsent_.empty() && !closed_) {
      ssize_t n = send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      unsent_.erase(0, static_cast<std::size_t>(n));
    }
    for (;;) {
      std::uint8_t buffer[16384];
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        client_.Feed(buffer, static_cast<std::size_t>(n));
        received_ += client_.TakePlaintext();
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed_ = true;
      break;
    }
  }
  return !closed_;
}

bool TlsConnection::Handshake(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!client_.handshake_done() && !client_.failed() && Pump() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return client_.handshake_done();
}

bool TlsConnection::Write(const std::string& text) {
  if (!client_.Write(text)) return false;
  Pump();
  return true;
}

long TlsConnection::Receive(void* buffer, std::size_t size) {
  if (received_.empty()) Pump();
  if (received_.empty()) return closed_ ? 0 : -1;
  std::size_t n = std::min(size, received_.size());
  std::memcpy(buffer, received_.data(), n);
  received_.erase(0, n);
  return static_cast<long>(n);
}

std::string TlsConnection::ReadToEnd(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Pump() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string all;
  all.swap(received_);
  return all;
}

HttpsAnswer HttpsFetch(std::uint16_t port, const std::string& ca_file, const std::string& request,
                       const std::string& host) {
  HttpsAnswer result;
  TlsConnection connection(port, ca_file, host);
  result.handshake_done = connection.Handshake();
  result.error = connection.client().error();
  if (!result.handshake_done) return result;
  result.serial = connection.client().PeerSerial();
  if (connection.Write(request)) result.answer = connection.ReadToEnd();
  result.closed = connection.client().peer_closed();
  return result;
}

}  // namespace zanth::testing

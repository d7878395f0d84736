// The TLS context and the per-connection engine, on OpenSSL with memory
// BIOs.
#include "net/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <new>
#include <utility>

#include "core/log.h"
#include "core/metrics.h"
#include "core/result.h"
#include "platform/file.h"

namespace zanth::net {
namespace {

// Certificate and key files are a few kilobytes; anything near this is not
// one.
constexpr std::size_t kPemLimit = 1u << 20;
// Ciphertext goes to OpenSSL in slices its int counts can hold.
constexpr std::size_t kFeedSlice = 1u << 20;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* x509) const { X509_free(x509); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MethodFree {
  void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

// A key file with a passphrase is refused rather than asked about on a
// terminal that a server does not have.
int NoPassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) { return 0; }

// The reason of OpenSSL's latest error, and an empty queue after it, so
// that no error is ever blamed on a later connection.
std::string TakeOpenSslReason() {
  unsigned long code = ERR_peek_last_error();
  std::string reason;
  if (code == 0) {
    reason = "unknown error";
  } else if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_HTTP_REQUEST) {
    reason = "a plain HTTP request";
  } else if (const char* text = ERR_reason_error_string(code); text != nullptr) {
    reason = text;
  } else {
    reason = FormatMessage("error %lu", code);
  }
  ERR_clear_error();
  return reason;
}

BioPtr TextBio(const std::string& text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// "CN = example.org, valid until Mar  1 12:00:00 2026 GMT".
std::string DescribeCertificate(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr) return std::string();
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0,
                     XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  BIO_puts(bio.get(), ", valid until ");
  ASN1_TIME_print(bio.get(), X509_get0_notAfter(certificate));
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
    BIO_puts(bio.get(), " (expired)");
  }
  std::string text = BioText(bio.get());
  ERR_clear_error();
  return text;
}

// A TLS record carries at most this much plaintext, and adds less than this
// to it (header, content type, tag or MAC and padding).
constexpr std::size_t kRecordPayload = 16384;
constexpr std::size_t kRecordOverhead = 256;

// The output BIO: what OpenSSL writes is appended to the engine's
// TlsOutput, which the BIO's data points at.
int OutputWrite(BIO* bio, const char* data, std::size_t count, std::size_t* written) {
  auto* out = static_cast<TlsOutput*>(BIO_get_data(bio));
  if (out == nullptr || !out->Append(reinterpret_cast<const std::uint8_t*>(data), count)) {
    *written = 0;
    return 0;
  }
  *written = count;
  return 1;
}

long OutputControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
  // Every byte is taken at once: a flush is done, nothing is pending; the
  // rest (kernel TLS among them) is not supported.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

const BIO_METHOD* OutputMethod() {
  static const std::unique_ptr<BIO_METHOD, MethodFree> method = [] {
    std::unique_ptr<BIO_METHOD, MethodFree> made;
    int index = BIO_get_new_index();
    if (index == -1) return made;
    made.reset(BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "engine output"));
    if (made != nullptr && (BIO_meth_set_write_ex(made.get(), OutputWrite) != 1 ||
                            BIO_meth_set_ctrl(made.get(), OutputControl) != 1)) {
      made.reset();
    }
    return made;
  }();
  return method.get();
}

}  // namespace

void TlsOutput::Reserve(std::size_t count) {
  Compact();
  if (bytes_.capacity() - bytes_.size() >= count) return;
  try {
    bytes_.reserve(std::max(bytes_.size() + count, 2 * bytes_.capacity()));
  } catch (const std::bad_alloc&) {
    // Append grows the buffer as it needs, or fails then.
  }
}

bool TlsOutput::Append(const std::uint8_t* data, std::size_t count) {
  Compact();
  try {
    bytes_.insert(bytes_.end(), data, data + count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void TlsOutput::Consume(std::size_t count) {
  head_ += std::min(count, size());
  if (head_ == bytes_.size()) {
    bytes_ = {};
    head_ = 0;
  }
}

void TlsOutput::Compact() {
  if (head_ == 0) return;
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
  head_ = 0;
}

void TlsContext::Free::operator()(ssl_ctx_st* ctx) const { SSL_CTX_free(ctx); }

TlsContext::TlsContext() = default;
TlsContext::~TlsContext() = default;

int TlsContext::Load(const std::string& certificate_path, const std::string& key_path,
                     std::string* why) {
  std::string certificate;
  std::string key;
  struct File {
    const std::string& path;
    std::string* text;
    const char* missing;
  };
  for (const File& file : {File{certificate_path, &certificate, "no certificate file is set"},
                           File{key_path, &key, "no key file is set"}}) {
    if (file.path.empty()) {
      *why = file.missing;
      return kFailed;
    }
    if (int rc = platform::ReadWholeFile(file.path, file.text); rc != 0) {
      *why = FormatMessage("cannot read %s: %s", file.path.c_str(), ResultText(rc).c_str());
      return rc;
    }
  }
  return LoadPem(certificate, certificate_path, key, key_path, why);
}

int TlsContext::LoadPem(const std::string& certificate_pem, const std::string& certificate_name,
                        const std::string& key_pem, const std::string& key_name,
                        std::string* why) {
  ERR_clear_error();
  if (certificate_pem.size() > kPemLimit || key_pem.size() > kPemLimit) {
    const std::string& name = certificate_pem.size() > kPemLimit ? certificate_name : key_name;
    *why = FormatMessage("%s is too large to be a certificate or key", name.c_str());
    return kFailed;
  }
  BioPtr certificate_bio = TextBio(certificate_pem);
  BioPtr key_bio = TextBio(key_pem);
  if (certificate_bio == nullptr || key_bio == nullptr) {
    *why = "out of memory";
    return kNoMemory;
  }
  X509Ptr leaf(PEM_read_bio_X509_AUX(certificate_bio.get(), nullptr, NoPassphrase, nullptr));
  if (leaf == nullptr) {
    *why = FormatMessage("%s holds no PEM certificate (%s)", certificate_name.c_str(),
                         TakeOpenSslReason().c_str());
    return kFailed;
  }
  // The rest of a full-chain file: the authorities up to the root.
  std::vector<X509Ptr> chain;
  for (;;) {
    X509Ptr next(PEM_read_bio_X509(certificate_bio.get(), nullptr, NoPassphrase, nullptr));
    if (next == nullptr) break;
    chain.push_back(std::move(next));
  }
  unsigned long end = ERR_peek_last_error();
  bool at_end = ERR_GET_LIB(end) == ERR_LIB_PEM && ERR_GET_REASON(end) == PEM_R_NO_START_LINE;
  if (end != 0 && !at_end) {
    *why = FormatMessage("%s: certificate %zu of the chain is damaged (%s)",
                         certificate_name.c_str(), chain.size() + 2, TakeOpenSslReason().c_str());
    return kFailed;
  }
  ERR_clear_error();  // the end of the file
  KeyPtr key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, NoPassphrase, nullptr));
  if (key == nullptr) {
    *why = FormatMessage("%s holds no private key that reads without a passphrase (%s)",
                         key_name.c_str(), TakeOpenSslReason().c_str());
    return kFailed;
  }

  std::unique_ptr<SSL_CTX, Free> ctx(SSL_CTX_new(TLS_server_method()));
  if (ctx == nullptr) {
    *why = "cannot set up TLS: " + TakeOpenSslReason();
    return kFailed;
  }
  // Older versions have known attacks; renegotiation serves no client of
  // ours and has been a denial-of-service lever.
  if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION) != 1) {
    *why = "cannot limit TLS to versions 1.2 and 1.3: " + TakeOpenSslReason();
    return kFailed;
  }
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
  // An idle connection gives its read and write buffers back.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate(ctx.get(), leaf.get()) != 1) {
    *why = FormatMessage("the certificate in %s is refused (%s)", certificate_name.c_str(),
                         TakeOpenSslReason().c_str());
    return kFailed;
  }
  for (X509Ptr& authority : chain) {
    if (SSL_CTX_add1_chain_cert(ctx.get(), authority.get()) != 1) {
      *why = FormatMessage("a chain certificate in %s is refused (%s)", certificate_name.c_str(),
                           TakeOpenSslReason().c_str());
      return kFailed;
    }
  }
  if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    *why = FormatMessage("the key in %s does not belong to the certificate in %s (%s)",
                         key_name.c_str(), certificate_name.c_str(), TakeOpenSslReason().c_str());
    return kFailed;
  }
  // Engines made until now hold a reference to the context they came from.
  ctx_ = std::move(ctx);
  description_ = DescribeCertificate(leaf.get());
  return kOk;
}

std::unique_ptr<TlsEngine> TlsContext::NewEngine(std::int64_t now) const {
  if (ctx_ == nullptr) return nullptr;
  ERR_clear_error();
  SSL* ssl = SSL_new(ctx_.get());
  BIO* in = BIO_new(BIO_s_mem());
  const BIO_METHOD* method = OutputMethod();
  BIO* out = method != nullptr ? BIO_new(method) : nullptr;
  if (ssl == nullptr || in == nullptr || out == nullptr) {
    SSL_free(ssl);
    BIO_free(in);
    BIO_free(out);
    ERR_clear_error();
    return nullptr;
  }
  // An empty input reads as "more to come", never as the end of the stream.
  BIO_set_mem_eof_return(in, -1);
  SSL_set_bio(ssl, in, out);
  SSL_set_accept_state(ssl);
  return std::unique_ptr<TlsEngine>(new TlsEngine(ssl, in, out, now));
}

void TlsEngine::Free::operator()(ssl_st* ssl) const { SSL_free(ssl); }

TlsEngine::TlsEngine(ssl_st* ssl, bio_st* in, bio_st* out, std::int64_t started_at)
    : ssl_(ssl), in_(in), started_at_(started_at) {
  BIO_set_data(out, &out_);
  BIO_set_init(out, 1);
}

TlsEngine::~TlsEngine() = default;

int TlsEngine::Feed(const std::uint8_t* data, std::size_t count) {
  if (state_ == State::kFailed) return kFailed;
  // After the peer's close_notify nothing it sends counts.
  if (state_ == State::kClosed) return kOk;
  for (std::size_t at = 0; at < count;) {
    std::size_t slice = std::min(kFeedSlice, count - at);
    if (BIO_write(in_, data + at, static_cast<int>(slice)) != static_cast<int>(slice)) {
      ERR_clear_error();
      FailWith("out of memory");
      return kFailed;
    }
    at += slice;
  }
  if (!handshake_done_) Handshake();
  return failed() ? kFailed : kOk;
}

void TlsEngine::Handshake() {
  ERR_clear_error();
  int result = SSL_do_handshake(ssl_.get());
  if (result == 1) {
    handshake_done_ = true;
    state_ = State::kOpen;
    if (!early_.empty()) {
      std::vector<std::uint8_t> early = std::move(early_);
      early_ = {};
      (void)Encrypt(early.data(), early.size());
    }
    return;
  }
  int error = SSL_get_error(ssl_.get(), result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
  ++GetMetrics().tls_handshakes_failed;
  Fail(result, "TLS handshake failed");
}

std::size_t TlsEngine::Read(std::uint8_t* out, std::size_t max) {
  if (state_ != State::kOpen || max == 0) return 0;
  ERR_clear_error();
  std::size_t n = 0;
  int result = SSL_read_ex(ssl_.get(), out, max, &n);
  if (result == 1) return n;
  int error = SSL_get_error(ssl_.get(), result);
  if (error == SSL_ERROR_ZERO_RETURN) {
    state_ = State::kClosed;
  } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
    Fail(result, "TLS error");
  }
  return 0;
}

int TlsEngine::Write(const std::uint8_t* data, std::size_t count) {
  if (state_ == State::kFailed || closing_) return kFailed;
  if (count == 0) return kOk;
  if (!handshake_done_) {
    early_.insert(early_.end(), data, data + count);
    return kOk;
  }
  return Encrypt(data, count);
}

int TlsEngine::Encrypt(const std::uint8_t* data, std::size_t count) {
  ERR_clear_error();
  ReserveOutput(count);
  std::size_t written = 0;
  // The output BIO takes every record, so a write is never partial.
  int result = SSL_write_ex(ssl_.get(), data, count, &written);
  if (result != 1) {
    Fail(result, "TLS error");
    return kFailed;
  }
  return kOk;
}

void TlsEngine::ReserveOutput(std::size_t plaintext) {
  if (plaintext == 0) return;  // an idle connection keeps no buffer
  out_.Reserve(plaintext + (plaintext / kRecordPayload + 1) * kRecordOverhead);
}

void TlsEngine::Close() {
  if (closing_ || state_ == State::kFailed) return;
  closing_ = true;
  early_ = {};
  if (!handshake_done_) return;  // nothing to say to a peer never spoken to
  ERR_clear_error();
  (void)SSL_shutdown(ssl_.get());
  ERR_clear_error();
}

bool TlsEngine::CheckDeadline(std::int64_t now) {
  if (state_ == State::kHandshaking && now - started_at_ >= kTlsHandshakeSeconds) {
    ++GetMetrics().tls_handshakes_failed;
    FailWith(FormatMessage("TLS handshake not done after %lld s",
                           static_cast<long long>(kTlsHandshakeSeconds)));
  }
  return failed();
}

std::size_t TlsEngine::buffered_input() const {
  return BIO_ctrl_pending(in_) + static_cast<std::size_t>(SSL_pending(ssl_.get()));
}

std::string TlsEngine::Description() const {
  if (!handshake_done_) return std::string();
  return std::string(SSL_get_version(ssl_.get())) + " " + SSL_get_cipher_name(ssl_.get());
}

void TlsEngine::Fail(int result, const char* doing) {
  int error = SSL_get_error(ssl_.get(), result);
  std::string reason = error == SSL_ERROR_SSL ? TakeOpenSslReason()
                                              : FormatMessage("OpenSSL error %d", error);
  ERR_clear_error();
  // The fatal alert OpenSSL wrote, already in the output, tells the peer why.
  FailWith(std::string(doing) + ": " + reason);
}

void TlsEngine::FailWith(std::string error) {
  state_ = State::kFailed;
  error_ = std::move(error);
  early_ = {};
}

}  // namespace zanth::net

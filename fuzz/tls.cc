// Fuzz target: what reaches the HTTPS port before and during the TLS
// handshake. The input's first byte chooses how the rest is cut into
// receives; the rest goes to a fresh server engine once whole and once in
// those pieces. Neither may crash, leak, hand out plaintext before a
// handshake is done, let a byte written before the handshake out in the
// clear, or reach a verdict that depends on the cuts; a failed engine
// stays failed, and a handshake never done fails at its deadline.
#include "net/tls.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/result.h"
#include "fuzz_support.h"

using namespace zanth;

namespace {

constexpr std::int64_t kStart = 100;
constexpr std::string_view kEarly = "PLAINTEXT WRITTEN BEFORE THE HANDSHAKE";
// The server's first flight (its certificate included) and an alert fit
// well inside this; anything more is output the input did not ask for.
constexpr std::size_t kOutputLimit = 64 * 1024;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zanth-fuzz tls: %s\n", what);
  std::abort();
}

std::string PemOf(int (*write)(BIO*, void*), void* object) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr || write(bio, object) != 1) Fail("cannot write PEM");
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return text;
}

// A throwaway self-signed certificate for localhost, made once per process:
// the fuzzer needs a server that can answer, not a particular one.
const net::TlsContext& Context() {
  static net::TlsContext* context = [] {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    if (key == nullptr || certificate == nullptr) Fail("cannot make a key");
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    if (X509_sign(certificate, key, EVP_sha256()) == 0) Fail("cannot sign");
    std::string certificate_pem = PemOf(
        [](BIO* bio, void* x) { return PEM_write_bio_X509(bio, static_cast<X509*>(x)); },
        certificate);
    std::string key_pem = PemOf(
        [](BIO* bio, void* k) {
          return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0,
                                          nullptr, nullptr);
        },
        key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    // Kept for the process: the engines of every input share it.
    auto* made = new net::TlsContext();
    std::string why;
    if (made->LoadPem(certificate_pem, "certificate", key_pem, "key", &why) != kOk) {
      std::fprintf(stderr, "zanth-fuzz tls: %s\n", why.c_str());
      Fail("the context refused its pair");
    }
    return made;
  }();
  return *context;
}

struct Outcome {
  bool failed = false;
  bool handshake_done = false;
};

Outcome Feed(const std::uint8_t* data, std::size_t size, std::size_t piece) {
  std::unique_ptr<net::TlsEngine> engine = Context().NewEngine(kStart);
  if (engine == nullptr) Fail("no engine");
  if (engine->Write(reinterpret_cast<const std::uint8_t*>(kEarly.data()), kEarly.size()) != kOk) {
    Fail("a fresh engine refused plaintext");
  }
  std::string output;
  bool failed = false;
  for (std::size_t at = 0; at < size; at += piece) {
    std::size_t count = std::min(piece, size - at);
    int result = engine->Feed(data + at, count);
    if (failed && result != kFailed) Fail("a failed engine took more bytes");
    failed = result != kOk;
    if (failed != engine->failed()) Fail("Feed and failed() disagree");
    if (failed && engine->error().empty()) Fail("a failure without a reason");
    std::uint8_t plain[4096];
    std::size_t got = engine->Read(plain, sizeof plain);
    if (got != 0 && !engine->handshake_done()) Fail("plaintext before the handshake");
    output.append(reinterpret_cast<const char*>(engine->output()), engine->output_size());
    engine->Consume(engine->output_size());
    if (output.size() > kOutputLimit) Fail("too much output");
  }
  if (output.find(kEarly) != std::string::npos) Fail("early plaintext went out in the clear");
  Outcome outcome{engine->failed(), engine->handshake_done()};
  if (!engine->handshake_done() && !engine->CheckDeadline(kStart + net::kTlsHandshakeSeconds)) {
    Fail("a handshake outlived its deadline");
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  if (size == 0) return 0;
  std::size_t piece = 1 + data[0] % 97;
  Outcome whole = Feed(data + 1, size - 1, size);
  Outcome pieces = Feed(data + 1, size - 1, piece);
  if (whole.failed != pieces.failed || whole.handshake_done != pieces.handshake_done) {
    Fail("the verdict depends on how bytes arrive");
  }
  return 0;
}

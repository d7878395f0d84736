// Fuzz target: the WebSocket layer. The input is read as an opening request
// (HTTP parser, then the handshake check) and as client frames, decoded
// once whole and once in pieces cut where the input's first byte says; both
// must give the same stream bytes and the same verdict.
#include "net/websocket.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "http/http_server.h"
#include "http/websocket_handshake.h"
#include "net/crypto.h"

using namespace zanth;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zanth-fuzz websocket: %s\n", what);
  std::abort();
}

struct Outcome {
  std::vector<std::uint8_t> stream;
  std::vector<std::uint8_t> replies;  // control frames, in order
  bool failed = false;
  bool open = true;
};

// Feeds the bytes to a link in pieces of piece bytes (0: whole), in place,
// as the connection does, and takes every reply it queues.
Outcome Feed(const std::uint8_t* data, std::size_t size, std::size_t piece) {
  net::WebSocketLink link("");
  Outcome out;
  std::vector<std::uint8_t> buffer(data, data + size);
  std::size_t step = piece == 0 ? size : piece;
  for (std::size_t at = 0; at < size; at += step) {
    std::size_t count = std::min(step, size - at);
    std::size_t n = link.Receive(buffer.data() + at, count);
    if (n > count) Fail("more stream bytes than were received");
    out.stream.insert(out.stream.end(), buffer.data() + at, buffer.data() + at + n);
    std::uint8_t frame[net::kMaxFrameHeader + net::kMaxControlPayload];
    while (std::size_t f = link.NextControlFrame(frame)) {
      if (f > 2 + net::kMaxControlPayload) Fail("a control frame past its limit");
      out.replies.insert(out.replies.end(), frame, frame + f);
    }
    if (link.queued() != 0) Fail("a reply left behind");
  }
  out.failed = link.failed();
  out.open = link.open();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  std::string_view text(reinterpret_cast<const char*>(data), size);
  http::ParsedRequest request = http::ParseRequest(text);
  http::HandshakeAnswer answer = http::AnswerHandshake(request.method, request.headers);
  if (answer.status == 101) {
    auto key = request.headers.find("sec-websocket-key");
    std::vector<std::uint8_t> nonce;
    if (key == request.headers.end()) Fail("accepted without a key");
    std::string accept = answer.response.substr(answer.response.find("Accept: ") + 8, 28);
    std::string_view k = key->second;
    while (!k.empty() && (k.front() == ' ' || k.front() == '\t')) k.remove_prefix(1);
    while (!k.empty() && (k.back() == ' ' || k.back() == '\t')) k.remove_suffix(1);
    if (!net::Base64Decode(k, &nonce) || nonce.size() != 16) Fail("accepted a bad key");
    if (accept != http::WebSocketAccept(k)) Fail("wrong accept value");
  } else if (answer.status != 400 && answer.status != 426) {
    Fail("an unknown status");
  }
  if (size == 0) return 0;
  // Replies are taken after each piece, so only the latest ping of a piece
  // is answered: compare the stream and the verdict, not the replies.
  Outcome whole = Feed(data + 1, size - 1, 0);
  Outcome pieces = Feed(data + 1, size - 1, 1 + data[0] % 17);
  if (whole.stream != pieces.stream) Fail("the stream depends on how bytes arrive");
  if (whole.failed != pieces.failed || whole.open != pieces.open) {
    Fail("the verdict depends on how bytes arrive");
  }
  return 0;
}

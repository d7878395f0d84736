// The HTTP file server: answers GET (and, the same way, every other
// method) for files in the media folder; every answer closes its
// connection. A file's body goes from the file to the socket (sendfile),
// never through memory.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "core/log.h"
#include "core/metrics.h"
#include "http/client_address.h"
#include "http/mime_table.h"
#include "net/connection_manager.h"
#include "platform/file.h"

namespace zanth::http {

inline constexpr char kNotFound[] =
    "HTTP/1.1 404 NOT FOUND\r\nConnection: close\r\nContent-Length: 14\r\n\r\nFile Not Found\n";
inline constexpr char kNotModified[] =
    "HTTP/1.1 304 NOT MODIFIED\r\nConnection: close\r\nContent-Length: 18\r\n\r\nFile Not "
    "Modified\n";

// The path (without its leading "/", before any query) on which a browser
// opens a WebSocket chat connection.
inline constexpr char kChatSocketPath[] = "chat-socket";
// The path (likewise) of the counters for monitoring. Loopback and the
// addresses of Settings::metrics_from get them; anyone else gets what the
// path names in the media folder, as before there were counters.
inline constexpr char kMetricsPath[] = "metrics";

// A connection that sends nothing is closed after this long, and a request
// that grows past this size is closed without an answer.
inline constexpr std::int64_t kIdleLimitSeconds = 30;
inline constexpr std::size_t kRequestLimit = 64 * 1024;
// A request is answered once its header block has ended (a blank line).
// Bytes without one (a bare request line) are answered when nothing more
// has come for this long: long enough that a request cut across packets is
// read whole, short enough for a person typing at a terminal.
inline constexpr std::uint32_t kQuietMs = 200;

struct ParsedRequest {
  std::string method;
  std::string path;  // without its leading "/"
  std::map<std::string, std::string> headers;  // lower-case names, first wins
};

// Parses request bytes: a request line cut at 61 characters, header names
// and values cut at 127, a path of at most 59 characters.
ParsedRequest ParseRequest(std::string_view bytes);

// The extension of a path: at most 4 characters after its last ".".
std::string Extension(const std::string& path);

// True when path stays inside the media folder: no ".." segment, no
// leading "/", no backslash, no NUL.
bool IsConfined(const std::string& path);

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(std::time_t t);
// Reads an If-Modified-Since value at the fixed positions of that form.
std::time_t ParseHttpDate(const std::string& text);

class HttpServer : public net::ConnectionHandler {
 public:
  // Finds the chat user who connected from a peer address, for the access
  // log: fills *user and returns true, or returns false for none.
  using LogUserLookup = std::function<bool(const std::string& peer, LogUser* user)>;
  // The gauges of the moment, for the counters' page.
  using GaugeSource = std::function<Gauges()>;

  HttpServer(net::ConnectionManager& transport, const Settings& settings,
             LogUserLookup log_user_lookup);
  ~HttpServer() override;

  void LoadMimeTable(std::string_view text) { mime_.Load(text); }
  // Where an accepted WebSocket upgrade on kChatSocketPath goes: the chat
  // listener's handler. Without one the path is an ordinary file name.
  void set_chat_socket_handler(net::ConnectionHandler* handler) { chat_socket_ = handler; }
  // Without a gauge source kMetricsPath is an ordinary file name.
  void set_gauge_source(GaugeSource source) { gauges_ = std::move(source); }
  const MimeTable& mime() const { return mime_; }

  int OnAccept(net::Connection& connection) override;
  void OnLost(net::Connection& connection) override;
  // A client may end its side once the request is out, before or after
  // the answer was queued; the answer still goes. One that ends it before
  // sending anything is gone.
  bool OnPeerClosed(net::Connection& connection) override;
  void OnRemoved(net::Connection& connection) override;

  // One pass over the connections: collect bytes, answer requests whose
  // header block is complete, and those quiet for kQuietMs.
  int Poll();

 private:
  struct Request {
    net::Connection* connection = nullptr;
    std::string peer;
    // Who the request comes from: the peer, or the visitor a trusted proxy
    // forwards (set when the request is answered).
    std::string client;
    bool forwarded = false;  // it carries an X-Forwarded-For header
    std::string bytes;
    std::int64_t accepted_at = 0;
    std::uint32_t last_bytes_ms = 0;  // when bytes last came
    bool lost = false;
    bool done = false;
    bool upgraded = false;  // handed over to the chat handler
  };

  void Answer(Request& request);
  // Sets request.client. false when a trusted proxy forwarded something
  // that is no address.
  bool FindClient(Request& request);
  // Reads the address lists of the settings when they changed, and logs
  // their entries that are no address.
  void RefreshLists();
  // Loopback, or a listed address, that no untrusted proxy stands in for.
  bool MayReadMetrics(const Request& request) const;
  // Answers a WebSocket upgrade attempt on kChatSocketPath: 101 and the
  // hand-over of the connection, under the visitor's address when a
  // trusted proxy forwards one, or 400/426 and the close.
  void AnswerUpgrade(Request& request, const ParsedRequest& parsed, bool client_known);
  void AnswerMetrics(Request& request, const ParsedRequest& parsed);
  void Log(const Request& request, const ParsedRequest& parsed, int status);

  net::ConnectionManager& transport_;
  const Settings& settings_;
  LogUserLookup log_user_lookup_;
  MimeTable mime_;
  net::ConnectionHandler* chat_socket_ = nullptr;
  GaugeSource gauges_;
  AddressList trusted_proxies_;
  AddressList metrics_from_;
  std::list<std::unique_ptr<Request>> requests_;  // newest first
};

}  // namespace zanth::http

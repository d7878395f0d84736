// The HTTP file server.
#include "http/http_server.h"

#include <algorithm>
#include <cstdio>

#include "core/log.h"
#include "core/result.h"
#include "http/websocket_handshake.h"
#include "platform/clock.h"

namespace zanth::http {
namespace {

constexpr std::size_t kRequestLineLimit = 61;
constexpr std::size_t kHeaderLimit = 127;
constexpr std::size_t kPathLimit = 59;

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::size_t SkipLineEnds(std::string_view text, std::size_t pos) {
  while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
  return pos;
}

// The decimal number of at most width digits at pos. Nine digits at most
// are read, so that no field of a hostile date overflows.
int Number(const std::string& text, std::size_t pos, std::size_t width) {
  int value = 0;
  width = std::min<std::size_t>(width, 9);
  for (std::size_t i = pos; i < pos + width && i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') break;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The path without its query.
std::string PathOf(const ParsedRequest& parsed) {
  return parsed.path.substr(0, parsed.path.find('?'));
}

bool IsChatSocketRequest(const ParsedRequest& parsed) {
  return PathOf(parsed) == kChatSocketPath && IsUpgradeAttempt(parsed.headers);
}

void LogRejected(const AddressList& list, const char* attribute) {
  for (const std::string& entry : list.rejected()) {
    Log(nullptr, "HTTP", "Ignoring \"%s\" in %s: not an address", entry.c_str(), attribute);
  }
}

// The header block ends the request: a WebSocket client sends nothing else
// before it has the answer.
bool EndsWithBlankLine(const std::string& bytes) {
  return bytes.ends_with("\r\n\r\n") || bytes.ends_with("\n\n");
}

// The header block has ended somewhere in bytes: a blank line, with either
// line end.
bool HasBlankLine(const std::string& bytes) {
  return bytes.find("\r\n\r\n") != std::string::npos ||
         bytes.find("\n\n") != std::string::npos;
}

}  // namespace

ParsedRequest ParseRequest(std::string_view bytes) {
  ParsedRequest request;
  std::size_t line_end = bytes.find_first_of("\r\n");
  if (line_end == std::string_view::npos) line_end = bytes.size();
  std::size_t kept = std::min(line_end, kRequestLineLimit);
  std::string line(bytes.substr(0, kept));
  std::size_t pos = SkipLineEnds(bytes, kept);
  do {
    std::size_t colon = bytes.find(':', pos);
    if (colon == std::string_view::npos) colon = bytes.size();
    std::string name(bytes.substr(pos, std::min(colon - pos, kHeaderLimit)));
    for (char& c : name) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    pos = colon;
    while (pos < bytes.size() && (bytes[pos] == ':' || bytes[pos] == ' ')) ++pos;
    std::size_t value_end = bytes.find_first_of("\r\n", pos);
    if (value_end == std::string_view::npos) value_end = bytes.size();
    std::size_t value_kept = std::min(value_end - pos, kHeaderLimit);
    request.headers.emplace(name, std::string(bytes.substr(pos, value_kept)));
    pos = SkipLineEnds(bytes, pos + value_kept);
  } while (pos < bytes.size());
  std::size_t space = line.find(' ');
  request.method = line.substr(0, space);
  if (space != std::string::npos) {
    std::size_t start = space + 1;
    std::size_t end = line.find(' ', start);
    request.path = line.substr(start, std::min(end == std::string::npos ? line.size() - start
                                                                          : end - start,
                                               kPathLimit));
  }
  if (!request.path.empty() && request.path[0] == '/') request.path.erase(0, 1);
  return request;
}

std::string Extension(const std::string& path) {
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return "";
  return path.substr(dot + 1, 4);
}

bool IsConfined(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    std::string segment = path.substr(start, slash == std::string::npos ? std::string::npos
                                                                         : slash - start);
    if (segment == "..") return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

std::string HttpDate(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buffer;
}

std::time_t ParseHttpDate(const std::string& text) {
  std::tm tm{};
  std::size_t pos = 5;
  std::size_t space = text.find(' ', pos);
  if (space == std::string::npos) space = text.size();
  tm.tm_mday = Number(text, pos, space - pos);
  std::size_t month = space + 1;
  std::string name = month < text.size() ? text.substr(month, 3) : "";
  tm.tm_mon = 0;  // no match counts as January
  for (int m = 0; m < 12; ++m) {
    if (name == kMonths[m]) tm.tm_mon = m;
  }
  tm.tm_year = Number(text, month + 4, 4) - 1900;
  tm.tm_hour = Number(text, month + 9, 2);
  tm.tm_min = Number(text, month + 12, 2);
  tm.tm_sec = Number(text, month + 15, 2);
  return timegm(&tm);
}

HttpServer::HttpServer(net::ConnectionManager& transport, const Settings& settings,
                       LogUserLookup log_user_lookup)
    : transport_(transport), settings_(settings), log_user_lookup_(std::move(log_user_lookup)) {
  RefreshLists();  // a mistake in the lists shows at start
}

HttpServer::~HttpServer() = default;

int HttpServer::OnAccept(net::Connection& connection) {
  LogDebug("HTTP connection");
  ++GetMetrics().http_accepted;
  auto request = std::make_unique<Request>();
  request->connection = &connection;
  request->peer = connection.peer_address();
  request->accepted_at = platform::GetClock().NowSeconds();
  connection.user_data = request.get();
  requests_.push_front(std::move(request));
  LogDebug("HTTP successful connectiong %s", connection.peer_address().c_str());
  return kOk;
}

void HttpServer::OnLost(net::Connection& connection) {
  if (auto* request = static_cast<Request*>(connection.user_data)) request->lost = true;
}

bool HttpServer::OnPeerClosed(net::Connection& connection) {
  auto* request = static_cast<Request*>(connection.user_data);
  // Without a record the request was answered and its answer is going out.
  return request == nullptr || !request->bytes.empty() || connection.ReadyCount() > 0;
}

void HttpServer::OnRemoved(net::Connection& connection) {
  if (auto* request = static_cast<Request*>(connection.user_data)) request->connection = nullptr;
}

int HttpServer::Poll() {
  std::int64_t now = platform::GetClock().NowSeconds();
  std::uint32_t tick = platform::GetClock().TickMs();
  for (auto it = requests_.begin(); it != requests_.end();) {
    Request& request = **it;
    net::Connection* connection = request.connection;
    bool drop = connection == nullptr || request.lost;
    if (!drop && !request.done) {
      std::size_t n = connection->ReadyCount();
      if (n > 0) {
        if (request.bytes.size() + n > kRequestLimit) {
          drop = true;  // too large to be a request for a file
          ++GetMetrics().dropped_bad_data;
        } else {
          std::size_t used = request.bytes.size();
          request.bytes.resize(used + n);
          std::size_t taken = connection->TakeInput(
              reinterpret_cast<std::uint8_t*>(request.bytes.data() + used), n);
          request.bytes.resize(used + taken);
          request.last_bytes_ms = tick;
        }
      }
      // Answered at once when the header block is complete; a request that
      // never ends its header block, once it has been quiet for a moment
      // or its sender has ended its stream.
      bool complete = !drop && !request.bytes.empty() &&
                      (HasBlankLine(request.bytes) || connection->peer_closed() ||
                       tick - request.last_bytes_ms >= kQuietMs);
      if (complete) {
        Answer(request);
        if (request.upgraded) {
          it = requests_.erase(it);
          continue;
        }
      } else if (!drop && request.bytes.empty() && now - request.accepted_at >= kIdleLimitSeconds) {
        drop = true;
      }
    }
    if (drop) {
      if (connection != nullptr) {
        connection->user_data = nullptr;
        transport_.RemoveConnection(connection);
      }
      it = requests_.erase(it);
      continue;
    }
    if (request.done) {
      connection->user_data = nullptr;
      connection->CloseWhenFlushed();
      it = requests_.erase(it);
      continue;
    }
    ++it;
  }
  return kOk;
}

void HttpServer::Answer(Request& request) {
  request.done = true;
  ParsedRequest parsed = ParseRequest(request.bytes);
  bool client_known = FindClient(request);
  if (chat_socket_ != nullptr && IsChatSocketRequest(parsed)) {
    AnswerUpgrade(request, parsed, client_known);
    return;
  }
  if (gauges_ && client_known && PathOf(parsed) == kMetricsPath && MayReadMetrics(request)) {
    AnswerMetrics(request, parsed);
    return;
  }
  net::Connection& connection = *request.connection;
  std::string path = parsed.path;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  if (!IsConfined(path) ||
      !platform::RegularFileStatus(settings_.media_dir + path, &size, &modified)) {
    (void)connection.QueueSend(reinterpret_cast<const std::uint8_t*>(kNotFound),
                               sizeof kNotFound - 1);
    transport_.SendNow(connection);
    Log(request, parsed, 404);
    return;
  }
  auto since = parsed.headers.find("if-modified-since");
  if (since != parsed.headers.end() && modified <= ParseHttpDate(since->second)) {
    (void)connection.QueueSend(reinterpret_cast<const std::uint8_t*>(kNotModified),
                               sizeof kNotModified - 1);
    transport_.SendNow(connection);
    Log(request, parsed, 304);
    return;
  }
  std::string header = FormatMessage(
      "HTTP/1.1 200 OK\r\nServer: Zanth Personal Server/1.0 (Windows)\r\nDate: %s\r\n"
      "Content-Length: %llu\r\nLast-Modified: %s\r\nContent-Type: %s\r\nConnection: close\r\n\r\n",
      HttpDate(platform::GetClock().WallSeconds()).c_str(), static_cast<unsigned long long>(size),
      HttpDate(static_cast<std::time_t>(modified)).c_str(),
      mime_.TypeOf(Extension(path)).c_str());
  (void)connection.QueueSend(reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
  // The body goes from the file to the socket behind the header, as fast
  // as the client reads it; nothing of it is held in memory.
  platform::File file;
  if (file.Open(settings_.media_dir + path, platform::kOpenRead) == 0) {
    connection.QueueFile(std::move(file), 0, size);
  }
  // The answer goes before its log line is written.
  transport_.SendNow(connection);
  Log(request, parsed, 200);
}

bool HttpServer::FindClient(Request& request) {
  RefreshLists();
  request.client = request.peer;
  std::string forwarded;
  Forwarded found = ForwardedFor(request.bytes, &forwarded);
  request.forwarded = found != Forwarded::kAbsent;
  // Anyone may write the header; only a proxy the owner named is believed.
  if (!trusted_proxies_.Contains(request.peer)) return true;
  if (found == Forwarded::kAddress) request.client = forwarded;
  return found != Forwarded::kInvalid;
}

void HttpServer::RefreshLists() {
  if (trusted_proxies_.Set(settings_.trusted_proxies)) {
    LogRejected(trusted_proxies_, "trustedproxy");
  }
  if (metrics_from_.Set(settings_.metrics_from)) LogRejected(metrics_from_, "metricsfrom");
}

bool HttpServer::MayReadMetrics(const Request& request) const {
  // A request that an untrusted proxy forwards is not the proxy's own, so
  // the proxy's loopback address does not open the counters to the world.
  if (request.forwarded && !trusted_proxies_.Contains(request.peer)) return false;
  return IsLoopback(request.client) || metrics_from_.Contains(request.client);
}

void HttpServer::AnswerMetrics(Request& request, const ParsedRequest& parsed) {
  std::string body = RenderMetrics(GetMetrics(), gauges_());
  std::string answer = FormatMessage(
      "HTTP/1.1 200 OK\r\nServer: Zanth Personal Server/1.0 (Windows)\r\nDate: %s\r\n"
      "Content-Length: %zu\r\nContent-Type: %s\r\nCache-Control: no-store\r\n"
      "Connection: close\r\n\r\n",
      HttpDate(platform::GetClock().WallSeconds()).c_str(), body.size(), kMetricsContentType);
  answer += body;
  (void)request.connection->QueueSend(reinterpret_cast<const std::uint8_t*>(answer.data()),
                                      answer.size());
  Log(request, parsed, 200);
}

void HttpServer::AnswerUpgrade(Request& request, const ParsedRequest& parsed, bool client_known) {
  HandshakeAnswer answer = AnswerHandshake(parsed.method, parsed.headers);
  if (answer.status == 101 && (!EndsWithBlankLine(request.bytes) || !client_known)) {
    answer = BadHandshake();
  }
  net::Connection& connection = *request.connection;
  // A client that has ended its stream could never speak on the socket;
  // the connection just closes.
  if (answer.status == 101 && connection.peer_closed()) return;
  Log(request, parsed, answer.status);
  if (answer.status != 101) {
    (void)connection.QueueSend(reinterpret_cast<const std::uint8_t*>(answer.response.data()),
                               answer.response.size());
    return;
  }
  // From here on the connection is a chat connection like an accepted one:
  // the chat handler owns it and the idle limit of requests is gone. Behind
  // a trusted proxy it goes by the visitor's address: bans, the Local flag,
  // the one-silent-connection rule and the log lines all see that one.
  connection.set_peer_address(request.client);
  transport_.HandOver(connection, chat_socket_, true,
                      std::make_unique<net::WebSocketLink>(answer.response));
  request.connection = nullptr;
  request.upgraded = true;
}

void HttpServer::Log(const Request& request, const ParsedRequest& parsed, int status) {
  GetMetrics().CountHttpResponse(status);
  const std::string& client = request.client.empty() ? request.peer : request.client;
  std::string text = FormatMessage("%s %s %d %s", client.c_str(), parsed.method.c_str(),
                                   status, parsed.path.c_str());
  auto agent = parsed.headers.find("user-agent");
  if (agent != parsed.headers.end()) text += " " + agent->second;
  LogUser tag;
  bool found = log_user_lookup_ && log_user_lookup_(client, &tag);
  zanth::Log(found ? &tag : nullptr, "HTTP", "%s", text.c_str());
}

}  // namespace zanth::http

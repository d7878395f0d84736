// Counters for monitoring: plain integers that each subsystem raises where
// its event happens, and their text for a metrics scraper. One thread
// raises and reads them; nothing here locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zanth {

// The HTTP statuses the server answers with, each counted on its own;
// anything else is counted as "other".
inline constexpr std::array<int, 6> kCountedHttpStatuses = {101, 200, 304, 400, 404, 426};

// Events since the process started. Only ever raised.
struct Metrics {
  // Connections accepted, by kind: chat clients on the chat port, browsers
  // (WebSocket chat connections on the HTTP port), HTTP requests.
  std::uint64_t chat_accepted = 0;
  std::uint64_t browser_accepted = 0;
  std::uint64_t http_accepted = 0;
  // Chat lines said (talk and whisper), and the copies queued to listeners.
  std::uint64_t talk_lines = 0;
  std::uint64_t talk_deliveries = 0;
  // Bytes through the sockets, as they go over the wire.
  std::uint64_t bytes_received = 0;
  std::uint64_t bytes_sent = 0;
  // Connections dropped by the server: a reader too slow for its output
  // queue, and a peer that sent what the protocol forbids.
  std::uint64_t dropped_queue_full = 0;
  std::uint64_t dropped_bad_data = 0;
  // TLS handshakes that failed: garbage, a refused version or cipher, a
  // peer too slow to finish.
  std::uint64_t tls_handshakes_failed = 0;
  // HTTP answers by status, in the order of kCountedHttpStatuses, then other.
  std::array<std::uint64_t, kCountedHttpStatuses.size() + 1> http_responses{};

  void CountHttpResponse(int status);
};

// The process's counters.
Metrics& GetMetrics();

// Values of the moment, read when the counters are shown.
struct Gauges {
  std::uint64_t chat_connections = 0;
  std::uint64_t browser_connections = 0;
  std::uint64_t http_connections = 0;
  std::uint64_t signed_on_users = 0;
  std::uint64_t rooms = 0;
};

// The content type of RenderMetrics' text.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// The counters and gauges in the Prometheus text exposition format, version
// 0.0.4: for each metric a HELP and a TYPE line, then its samples; every
// name starts with "zanth_".
std::string RenderMetrics(const Metrics& metrics, const Gauges& gauges);

}  // namespace zanth

// Counters for monitoring and their text exposition.
#include "core/metrics.h"

#include <string_view>

namespace zanth {
namespace {

// One metric: its HELP and TYPE lines.
void Head(std::string* out, std::string_view name, std::string_view type, std::string_view help) {
  *out += "# HELP zanth_";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE zanth_";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

// One sample; labels is empty or the inside of the braces.
void Sample(std::string* out, std::string_view name, std::string_view labels,
            std::uint64_t value) {
  *out += "zanth_";
  *out += name;
  if (!labels.empty()) {
    *out += '{';
    *out += labels;
    *out += '}';
  }
  *out += ' ';
  *out += std::to_string(value);
  *out += '\n';
}

void Single(std::string* out, std::string_view name, std::string_view type, std::string_view help,
            std::uint64_t value) {
  Head(out, name, type, help);
  Sample(out, name, "", value);
}

}  // namespace

void Metrics::CountHttpResponse(int status) {
  std::size_t slot = 0;
  while (slot < kCountedHttpStatuses.size() && kCountedHttpStatuses[slot] != status) ++slot;
  ++http_responses[slot];
}

Metrics& GetMetrics() {
  static Metrics metrics;
  return metrics;
}

std::string RenderMetrics(const Metrics& m, const Gauges& g) {
  std::string out;
  Head(&out, "connections", "gauge", "Open connections by kind.");
  Sample(&out, "connections", "kind=\"chat\"", g.chat_connections);
  Sample(&out, "connections", "kind=\"browser\"", g.browser_connections);
  Sample(&out, "connections", "kind=\"http\"", g.http_connections);
  Head(&out, "connections_accepted_total", "counter", "Connections accepted, by kind.");
  Sample(&out, "connections_accepted_total", "kind=\"chat\"", m.chat_accepted);
  Sample(&out, "connections_accepted_total", "kind=\"browser\"", m.browser_accepted);
  Sample(&out, "connections_accepted_total", "kind=\"http\"", m.http_accepted);
  Single(&out, "users_signed_on", "gauge", "Chat users signed on.", g.signed_on_users);
  Single(&out, "rooms", "gauge", "Rooms of the site.", g.rooms);
  Single(&out, "talk_lines_total", "counter", "Chat lines said, talk and whisper.", m.talk_lines);
  Single(&out, "talk_deliveries_total", "counter", "Copies of chat lines queued to listeners.",
         m.talk_deliveries);
  Single(&out, "received_bytes_total", "counter", "Bytes received from all sockets.",
         m.bytes_received);
  Single(&out, "sent_bytes_total", "counter", "Bytes sent to all sockets.", m.bytes_sent);
  Head(&out, "dropped_connections_total", "counter",
       "Connections the server dropped, by reason.");
  Sample(&out, "dropped_connections_total", "reason=\"output_queue_full\"", m.dropped_queue_full);
  Sample(&out, "dropped_connections_total", "reason=\"bad_data\"", m.dropped_bad_data);
  Head(&out, "http_responses_total", "counter", "HTTP answers, by status.");
  for (std::size_t i = 0; i < kCountedHttpStatuses.size(); ++i) {
    Sample(&out, "http_responses_total",
           "status=\"" + std::to_string(kCountedHttpStatuses[i]) + "\"", m.http_responses[i]);
  }
  Sample(&out, "http_responses_total", "status=\"other\"",
         m.http_responses[kCountedHttpStatuses.size()]);
  Single(&out, "tls_handshakes_failed_total", "counter", "TLS handshakes that failed.",
         m.tls_handshakes_failed);
  return out;
}

}  // namespace zanth

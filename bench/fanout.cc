// fanout: a one-thread epoll load generator for room talk. It starts zanthd
// (or the bench relay), signs clients on from their own loopback source
// addresses, runs one scenario and prints one JSON line of figures per run:
//
//   sat    closed loop: a bounded window of talk lines in flight; deliveries
//          per second and server CPU per delivery.
//   lat    open loop at a fixed offered rate of deliveries; the delay of each
//          delivery from the line's scheduled send time.
//   hold   idle clients signed on: server memory per client and the time to
//          sign them all on.
//   scale  many clients spread over rooms at a modest offered rate.
//
// The servers run one after the other with the same clients and schedule:
// ngIRCd (IRC clients), the relay, zanthd, and zanthd with browser clients
// (WebSocket); each line gives its figures as ratios to the peers run
// before it.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "bench/fanout_generator.h"
#include "bench/options.h"
#include "bench/server_process.h"

namespace zanth::bench {
namespace {

const char kUsage[] =
    "usage: fanout SCENARIO [options]   (SCENARIO: sat, lat, hold or scale)\n"
    "  --server LIST       servers to load, in order, from ngircd, relay,\n"
    "                      zanthd, zanthd-ws (browser clients); both =\n"
    "                      relay,zanthd; all = ngircd,relay,zanthd (sat, lat:\n"
    "                      all when ngircd is installed, else both; hold,\n"
    "                      scale: zanthd). Each line gives its figures over\n"
    "                      those of the ngircd, relay and zanthd runs before it\n"
    "  --clients N[,N...]  client counts, one run each (sat 50,200; lat 200;\n"
    "                      hold 1000; scale 10000)\n"
    "  --rooms R           rooms the clients are spread over (scale 100;\n"
    "                      else 1)\n"
    "  --seconds S         length of the load or idle window (5; scale 10)\n"
    "  --window W          sat: talk lines in flight (default 4 x clients)\n"
    "  --rate D            lat, scale: offered deliveries per second\n"
    "                      (lat 200000; scale 20000)\n"
    "  --connect-window C  clients connecting at once that the server has\n"
    "                      not answered yet (14; zanthd's listen backlog is\n"
    "                      128, ngIRCd ends connections beyond a few)\n"
    "  --signon-limit S    longest sign-on of all clients (600)\n"
    "  --cpu SELF,SERVER   processors to pin to (0,1; -1,-1: no pinning)\n"
    "  --relay-pass-limit B  relay: bytes sent per connection per pass\n"
    "                      (0: all the socket takes)\n"
    "  --relay-buffer B    relay: SO_SNDBUF and SO_RCVBUF (0: the system sizes\n"
    "                      them, as zanthd lets it)\n"
    "  --payload B         bytes of text per talk line (64)\n"
    "  --ngircd PATH       (/usr/sbin/ngircd), --ngircd-conf FILE (bench/ngircd.conf)\n"
    "  --profile PREFIX    record the server with perf during the window\n"
    "                      (hold: during the sign-on), into\n"
    "                      PREFIX.SERVER.CLIENTS.data\n"
    "  --zanthd PATH, --relay PATH  the programs (default: beside this one)\n";

bool ParseIntList(std::string_view list, long low, long high,
                  std::vector<long>* out) {
  out->clear();
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    long n = 0;
    if (!ParseInt(list.substr(0, comma), low, high, &n)) return false;
    out->push_back(n);
    list = comma == std::string_view::npos ? "" : list.substr(comma + 1);
  }
  return !out->empty();
}

bool ParseOptions(int argc, char** argv, FanoutOptions* o) {
  if (argc < 2) return false;
  std::string_view scenario = argv[1];
  if (scenario == "sat") {
    o->scenario = Scenario::kSat;
  } else if (scenario == "lat") {
    o->scenario = Scenario::kLat;
  } else if (scenario == "hold") {
    o->scenario = Scenario::kHold;
  } else if (scenario == "scale") {
    o->scenario = Scenario::kScale;
  } else {
    return false;
  }
  std::vector<long> list;
  for (int i = 2; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    long n = 0;
    if (arg == "--server") {
      std::string_view v = value;
      o->targets.clear();
      if (v == "both") v = "relay,zanthd";
      if (v == "all") v = "ngircd,relay,zanthd";
      while (!v.empty()) {
        std::string_view name = v.substr(0, v.find(','));
        v = name.size() < v.size() ? v.substr(name.size() + 1) : "";
        if (name == "zanthd") {
          o->targets.push_back(Target::kZanthd);
        } else if (name == "zanthd-ws") {
          o->targets.push_back(Target::kZanthdWeb);
        } else if (name == "relay") {
          o->targets.push_back(Target::kRelay);
        } else if (name == "ngircd") {
          o->targets.push_back(Target::kNgircd);
        } else {
          return false;
        }
      }
      if (o->targets.empty()) return false;
    } else if (arg == "--clients") {
      if (!ParseIntList(value, 1, 60000, &list)) return false;
      o->clients.assign(list.begin(), list.end());
    } else if (arg == "--rooms") {
      if (!ParseInt(value, 1, 1000, &n)) return false;
      o->rooms = static_cast<int>(n);
    } else if (arg == "--seconds") {
      if (!ParseDouble(value, 0.5, 3600, &o->seconds)) return false;
    } else if (arg == "--window") {
      if (!ParseInt(value, 1, 1000000, &n)) return false;
      o->window = static_cast<int>(n);
    } else if (arg == "--rate") {
      if (!ParseDouble(value, 1, 1e9, &o->rate)) return false;
    } else if (arg == "--connect-window") {
      if (!ParseInt(value, 1, 1000, &n)) return false;
      o->connect_window = static_cast<int>(n);
    } else if (arg == "--signon-limit") {
      if (!ParseDouble(value, 1, 3600, &o->signon_limit)) return false;
    } else if (arg == "--cpu") {
      if (!ParseIntList(value, -1, 1023, &list) || list.size() != 2)
        return false;
      o->self_cpu = static_cast<int>(list[0]);
      o->server_cpu = static_cast<int>(list[1]);
    } else if (arg == "--relay-pass-limit") {
      if (!ParseInt(value, 0, 1 << 24, &o->relay_pass_limit)) return false;
    } else if (arg == "--relay-buffer") {
      if (!ParseInt(value, 0, 1 << 24, &o->relay_buffer)) return false;
    } else if (arg == "--payload") {
      if (!ParseInt(value, 1, 240, &n)) return false;
      o->payload = static_cast<int>(n);
    } else if (arg == "--ngircd") {
      o->ngircd = value;
    } else if (arg == "--ngircd-conf") {
      o->ngircd_conf = value;
    } else if (arg == "--profile") {
      o->profile = value;
    } else if (arg == "--zanthd") {
      o->zanthd = value;
    } else if (arg == "--relay") {
      o->relay = value;
    } else {
      return false;
    }
  }
  return true;
}

void ApplyDefaults(FanoutOptions* o) {
  const bool sat = o->scenario == Scenario::kSat;
  const bool lat = o->scenario == Scenario::kLat;
  const bool scale = o->scenario == Scenario::kScale;
  if (o->targets.empty()) {
    if ((sat || lat) && ::access(o->ngircd.c_str(), X_OK) == 0) {
      o->targets = {Target::kNgircd, Target::kRelay, Target::kZanthd};
    } else if (sat || lat) {
      o->targets = {Target::kRelay, Target::kZanthd};
    } else {
      o->targets = {Target::kZanthd};
    }
  }
  if (o->clients.empty()) {
    if (sat) o->clients = {50, 200};
    if (lat) o->clients = {200};
    if (o->scenario == Scenario::kHold) o->clients = {1000};
    if (scale) o->clients = {10000};
  }
  if (o->rooms == 0) o->rooms = scale ? 100 : 1;
  if (o->seconds == 0) o->seconds = scale ? 10 : 5;
  if (o->rate == 0) o->rate = scale ? 20000 : 200000;
  if (o->ngircd_conf.empty()) o->ngircd_conf = std::string(ZANTH_BENCH_DIR) + "/ngircd.conf";
}

double Ms(std::uint64_t micros) { return static_cast<double>(micros) / 1000.0; }

// Appends "name":value to a JSON object under construction.
void Field(std::string* json, const char* name, double value,
           int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  *json += ",\"";
  *json += name;
  *json += "\":";
  *json += buffer;
}

void Field(std::string* json, const char* name, std::uint64_t value) {
  Field(json, name, static_cast<double>(value), 0);
}

void TextField(std::string* json, const char* name, const std::string& value) {
  *json += ",\"";
  *json += name;
  *json += "\":\"";
  for (char ch : value) {
    if (ch == '"' || ch == '\\') *json += '\\';
    *json += (ch >= 0 && ch < 0x20) ? ' ' : ch;
  }
  *json += '"';
}

double DeliveriesPerSecond(const RunResult& r) {
  return r.window_s > 0
             ? static_cast<double>(r.tally.delivered_in_window) / r.window_s
             : 0;
}

double CpuPerDeliveryUs(const RunResult& r) {
  return r.tally.delivered_in_window > 0
             ? 1e6 * r.server_cpu_s /
                   static_cast<double>(r.tally.delivered_in_window)
             : 0;
}

// The earlier runs of the same case, to compare with.
struct Peers {
  const RunResult* ngircd = nullptr;
  const RunResult* relay = nullptr;
  const RunResult* zanthd = nullptr;
};

// "vs_NAME_deliveries", "vs_NAME_cpu_per_delivery", "vs_NAME_p99": r's
// figures over peer's.
void Ratios(std::string* json, const char* name, const RunResult& r, const RunResult* peer) {
  if (peer == nullptr || !peer->ok || &r == peer) return;
  const double rate = DeliveriesPerSecond(*peer);
  const double cpu = CpuPerDeliveryUs(*peer);
  const double p99 = Ms(peer->tally.latency.Percentile(0.99));
  const std::string prefix = std::string("vs_") + name + "_";
  if (rate > 0) Field(json, (prefix + "deliveries").c_str(), DeliveriesPerSecond(r) / rate, 3);
  if (cpu > 0) Field(json, (prefix + "cpu_per_delivery").c_str(), CpuPerDeliveryUs(r) / cpu, 2);
  if (p99 > 0) {
    Field(json, (prefix + "p99").c_str(), Ms(r.tally.latency.Percentile(0.99)) / p99, 2);
  }
}

// One JSON line; peers are the earlier runs of the same case.
std::string Json(const FanoutOptions& o, const RunResult& r, const Peers& peers) {
  std::string json = "{\"scenario\":\"";
  json += ScenarioName(o.scenario);
  json += "\"";
  TextField(&json, "server", TargetName(r.target));
  Field(&json, "clients", static_cast<std::uint64_t>(r.clients));
  Field(&json, "rooms", static_cast<std::uint64_t>(std::min(o.rooms, r.clients)));
  if (r.target == Target::kRelay) {
    Field(&json, "relay_pass_limit",
          static_cast<std::uint64_t>(o.relay_pass_limit));
    Field(&json, "relay_buffer", static_cast<std::uint64_t>(o.relay_buffer));
  }
  if (o.scenario != Scenario::kHold) {
    Field(&json, "payload", static_cast<std::uint64_t>(o.payload));
  }
  const std::time_t now = std::time(nullptr);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  TextField(&json, "utc", when);
  if (!r.ok) {
    TextField(&json, "error", r.error);
    json += ",\"ok\":false}";
    return json;
  }
  const Tally& t = r.tally;
  Field(&json, "signon_s", r.signon_s, 3);
  if (o.scenario == Scenario::kHold) {
    const long base = r.warm_clients > 0 ? r.rss_warm_kib : r.rss_before_kib;
    const double per_client =
        static_cast<double>(r.rss_signed_on_kib - base) /
        static_cast<double>(r.clients - r.warm_clients);
    Field(&json, "rss_before_kib", static_cast<double>(r.rss_before_kib), 0);
    Field(&json, "warm_clients", static_cast<std::uint64_t>(r.warm_clients));
    Field(&json, "rss_warm_kib", static_cast<double>(r.rss_warm_kib), 0);
    Field(&json, "rss_signed_on_kib", static_cast<double>(r.rss_signed_on_kib),
          0);
    Field(&json, "rss_per_client_kib", per_client, 2);
    Field(&json, "signons_per_s", static_cast<double>(r.clients) / r.signon_s,
          0);
    Field(&json, "idle_s", r.window_s, 2);
    Field(&json, "idle_server_cpu_s", r.server_cpu_s, 3);
  } else {
    if (o.scenario == Scenario::kSat) {
      Field(&json, "window", static_cast<std::uint64_t>(r.window));
    } else {
      Field(&json, "offered_per_s", r.offered, 0);
    }
    Field(&json, "seconds", r.window_s, 2);
    Field(&json, "sent", t.sent);
    Field(&json, "delivered", t.delivered);
    Field(&json, "deliveries_per_s", DeliveriesPerSecond(r), 0);
    Field(&json, "server_cpu_s", r.server_cpu_s, 3);
    Field(&json, "server_cpu_us_per_delivery", CpuPerDeliveryUs(r), 4);
    Field(&json, "gen_cpu_s", r.gen_cpu_s, 3);
    Field(&json, "p50_ms", Ms(t.latency.Percentile(0.50)), 3);
    Field(&json, "p99_ms", Ms(t.latency.Percentile(0.99)), 3);
    Field(&json, "max_ms", Ms(t.latency.max()), 3);
    if (o.scenario != Scenario::kSat)
      Field(&json, "send_lag_p99_ms", Ms(t.send_lag.Percentile(0.99)), 3);
    Field(&json, "rss_peak_kib", static_cast<double>(r.rss_peak_kib), 0);
  }
  Field(&json, "duplicates", t.duplicates);
  Field(&json, "lost", t.lost);
  Field(&json, "misrouted", t.misrouted);
  Field(&json, "unfinished", t.unfinished);
  Field(&json, "lost_links", t.lost_links);
  Field(&json, "foreign_talk", t.foreign);
  const bool exact = t.duplicates == 0 && t.lost == 0 && t.misrouted == 0 &&
                     t.unfinished == 0 && t.lost_links == 0;
  json += exact ? ",\"exactly_once\":true" : ",\"exactly_once\":false";
  if (o.scenario != Scenario::kHold) {
    Ratios(&json, "ngircd", r, peers.ngircd);
    Ratios(&json, "relay", r, peers.relay);
    Ratios(&json, "zanthd", r, peers.zanthd);
  }
  if (r.stop_status < 0) json += ",\"killed\":true";
  json += ",\"ok\":true}";
  return json;
}

int Main(int argc, char** argv) {
  FanoutOptions o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  ApplyDefaults(&o);
  if (o.zanthd.empty()) o.zanthd = ExecutableDirectory() + "/zanthd";
  if (o.relay.empty()) o.relay = ExecutableDirectory() + "/relay";
  const long files = RaiseOpenFileLimit();
  const int most = *std::max_element(o.clients.begin(), o.clients.end());
  if (files >= 0 && files < most + 64) {
    std::fprintf(stderr,
                 "fanout: %d clients need about %d descriptors; the limit is "
                 "%ld\n",
                 most, most + 64, files);
    return 1;
  }
  if (UsableCpuCount() < 2) {
    o.self_cpu = -1;
    o.server_cpu = -1;
    std::fputs("fanout: one processor; nothing is pinned\n", stderr);
  }
  if (o.self_cpu >= 0 && !PinToCpu(0, o.self_cpu))
    std::fprintf(stderr, "fanout: cannot pin myself to processor %d\n",
                 o.self_cpu);
  int failures = 0;
  for (int n : o.clients) {
    std::vector<RunResult> runs;
    runs.reserve(o.targets.size());
    Peers peers;
    for (Target target : o.targets) {
      runs.push_back(RunOnce(o, target, n));
      const RunResult& r = runs.back();
      std::printf("%s\n", Json(o, r, peers).c_str());
      std::fflush(stdout);
      if (!r.ok) ++failures;
      if (target == Target::kNgircd) peers.ngircd = &r;
      if (target == Target::kRelay) peers.relay = &r;
      if (target == Target::kZanthd) peers.zanthd = &r;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zanth::bench

int main(int argc, char** argv) { return zanth::bench::Main(argc, argv); }


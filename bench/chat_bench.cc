// chat_bench: room talk throughput and delivery latency of zanthd. For each
// client count it starts a fresh server, signs the clients on into one room,
// lets every client talk at a fixed rate and measures, from what all clients
// receive, deliveries per second and the delay from send to receipt.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/latency_histogram.h"
#include "bench/options.h"
#include "bench/server_process.h"
#include "client/chat_client.h"
#include "client/decode.h"
#include "core/result.h"
#include "wire/framing.h"

namespace zanth::bench {
namespace {

using namespace std::chrono_literals;
using client::ChatClient;
using client::Message;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kTalk = wire::TypeCode("Talk");
constexpr std::uint32_t kRoomInfo = wire::TypeCode("RmIn");
constexpr std::uint16_t kGateRoom = 100;
// Every talk line carries its send time after this marker.
constexpr std::string_view kStampMarker = " at ";

// Bounds on the phases of one run.
constexpr auto kConnectTimeout = 10s;
constexpr auto kSignOnTimeout = 60s;
constexpr auto kQuietWindow = 500ms;  // silence that ends a drain
constexpr auto kSettleLimit = 120s;   // longest drain after sign-on
constexpr auto kGraceLimit = 10s;     // longest wait for late deliveries
constexpr auto kStopLimit = 30s;      // from SIGTERM to SIGKILL
constexpr int kMaxReceivesPerVisit = 512;
// A driver thread that found nothing to do sleeps, from the first to the
// last of these, doubling while it stays idle: the server shares the
// machine, and the pause adds at most this much to a measured delay.
constexpr auto kFirstIdleSleep = 50us;
constexpr auto kLastIdleSleep = 400us;

struct Options {
  std::vector<int> clients = {50, 200, 1000};
  double seconds = 10;
  double rate = 1;  // talk lines per second per client
  int threads = 2;
  // At most 14 at once: the server's listen backlog is 15, and connects
  // beyond it wait for a retransmitted SYN (a second or more).
  int batch = 10;
  std::string zanthd;
};

const char kUsage[] =
    "usage: chat_bench [--clients N[,N...]] [--seconds S] [--rate R] "
    "[--threads T]\n"
    "                  [--batch B] [--zanthd PATH]\n"
    "  --clients  client counts, one run each (default 50,200,1000)\n"
    "  --seconds  length of the load window of each run (default 10)\n"
    "  --rate     talk lines per second sent by each client (default 1)\n"
    "  --threads  threads that drive the clients (default 2)\n"
    "  --batch    clients signed on together (default 10)\n"
    "  --zanthd   the server binary (default: zanthd beside this program)\n";

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--clients") {
      o->clients.clear();
      std::string_view list = value;
      while (!list.empty()) {
        std::size_t comma = list.find(',');
        int n = 0;
        if (!ParseInt(list.substr(0, comma), 1, 60000, &n)) return false;
        o->clients.push_back(n);
        list = comma == std::string_view::npos ? "" : list.substr(comma + 1);
      }
      if (o->clients.empty()) return false;
    } else if (arg == "--seconds") {
      if (!ParseDouble(value, 0.5, 3600, &o->seconds)) return false;
    } else if (arg == "--rate") {
      if (!ParseDouble(value, 0.01, 1000, &o->rate)) return false;
    } else if (arg == "--threads") {
      if (!ParseInt(value, 1, 64, &o->threads)) return false;
    } else if (arg == "--batch") {
      if (!ParseInt(value, 1, 1000, &o->batch)) return false;
    } else if (arg == "--zanthd") {
      o->zanthd = value;
    } else {
      return false;
    }
  }
  return true;
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Clock::now().time_since_epoch())
      .count();
}

// A distinct loopback source address per client: the server keeps only one
// connection per address that has not signed on yet.
std::string SourceAddress(int index) {
  return "127.10." + std::to_string(index / 250) + "." +
         std::to_string(1 + index % 250);
}

// The send time carried by a benchmark talk line, or -1.
std::int64_t StampOf(std::string_view text) {
  std::size_t at = text.rfind(kStampMarker);
  if (at == std::string_view::npos) return -1;
  std::string_view digits = text.substr(at + kStampMarker.size());
  std::int64_t stamp = 0;
  auto [end, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), stamp);
  return ec == std::errc() && end == digits.data() + digits.size() ? stamp : -1;
}

struct BenchClient {
  ChatClient link;
  std::uint32_t user_id = 0;
  Clock::time_point next_send;
  std::uint64_t sequence = 0;
};

// What one driver thread saw during the load.
struct ThreadTally {
  std::uint64_t sent = 0;
  std::uint64_t send_errors = 0;
  std::uint64_t delivered_in_window = 0;
  std::uint64_t delivered = 0;
  std::uint64_t foreign = 0;  // talk without a stamp (server notices)
  std::uint64_t lost_links = 0;
  std::uint64_t sweeps = 0;   // passes over the thread's clients
  Clock::duration busy{};     // time spent in them
  Clock::duration grace{};    // reading late deliveries after the window
  LatencyHistogram latency;   // receipt minus send stamp
  LatencyHistogram send_lag;  // actual minus scheduled send time
};

// Reads what has arrived on one client; counts and times the talk lines.
// Returns the number of messages read.
int Drain(BenchClient& c, Clock::time_point window_end, ThreadTally* t) {
  Message m;
  int read = 0;
  while (read < kMaxReceivesPerVisit && c.link.Receive(&m, 0ms)) {
    ++read;
    if (t == nullptr || m.type != kTalk) continue;
    const Clock::time_point now = Clock::now();
    client::Speech speech;
    std::int64_t stamp = -1;
    if (client::DecodeSpeech(m.payload, &speech)) stamp = StampOf(speech.text);
    if (speech.speaker == 0 || stamp < 0) {
      ++t->foreign;
      continue;
    }
    ++t->delivered;
    if (now <= window_end) ++t->delivered_in_window;
    const std::int64_t now_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            now.time_since_epoch())
            .count();
    t->latency.Add((now_ns - stamp) / 1000);
  }
  return read;
}

// Drains every client until none has received anything for kQuietWindow, or
// until limit has passed. Returns false when the limit cut it short.
bool DrainUntilQuiet(std::vector<std::unique_ptr<BenchClient>>& clients,
                     std::chrono::milliseconds limit) {
  Clock::time_point end = Clock::now() + limit;
  Clock::time_point last_message = Clock::now();
  while (Clock::now() < end) {
    int read = 0;
    for (auto& c : clients)
      read += Drain(*c, Clock::time_point::min(), nullptr);
    if (read > 0) {
      last_message = Clock::now();
    } else if (Clock::now() - last_message >= kQuietWindow) {
      return true;
    } else {
      std::this_thread::sleep_for(2ms);
    }
  }
  return false;
}

// Connects and signs on clients [first, last) together, then waits for the
// end of every sign-on. All must land in the gate room.
bool SignOnBatch(std::vector<std::unique_ptr<BenchClient>>& clients, int first,
                 int last, std::uint16_t port, std::string* error) {
  for (int i = first; i < last; ++i) {
    BenchClient& c = *clients[static_cast<std::size_t>(i)];
    if (int rc = c.link.Connect("127.0.0.1", port, SourceAddress(i),
                                kConnectTimeout);
        rc != kOk) {
      *error = "client " + std::to_string(i) +
               " could not connect: " + ResultText(rc);
      return false;
    }
    client::Ident ident;
    ident.nickname = "bench" + std::to_string(i);
    if (int rc = c.link.SendIdent(ident); rc != kOk) {
      *error = "client " + std::to_string(i) +
               " could not send its ident: " + ResultText(rc);
      return false;
    }
  }
  Clock::time_point deadline = Clock::now() + kSignOnTimeout;
  for (int i = first; i < last; ++i) {
    BenchClient& c = *clients[static_cast<std::size_t>(i)];
    std::vector<Message> before;
    Message caps;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (!c.link.WaitFor(wire::TypeCode("SvCp"), &caps, std::max(left, 1ms),
                        &before)) {
      *error = "client " + std::to_string(i) + " did not finish signing on";
      return false;
    }
    std::uint16_t room = 0;
    for (const Message& m : before) {
      client::RoomInfo info;
      if (m.type == kRoomInfo && client::DecodeRoomInfo(m.payload, &info))
        room = info.id;
      if (m.type == wire::TypeCode("UAre"))
        (void)client::DecodeU32(m.payload, &c.user_id);
    }
    if (room != kGateRoom) {
      *error = "client " + std::to_string(i) + " landed in room " +
               std::to_string(room);
      return false;
    }
  }
  return true;
}

// The schedule of one load run, shared by its driver threads.
struct LoadPlan {
  Clock::duration period{};  // between two lines of one client
  Clock::time_point window_end;
  Clock::time_point grace_end;
  int threads = 1;
  // Lines sent by the threads that have passed the window's end, and how
  // many threads that is: then every client knows how many lines to expect.
  std::atomic<std::uint64_t> sent{0};
  std::atomic<int> finished_sending{0};
};

// One driver thread: sends each owned client's lines on schedule and reads
// every owned client's messages until the window ends, then reads late
// deliveries until every line has reached every owned client, or until the
// grace period ends.
void DriveSlice(std::vector<BenchClient*> slice, LoadPlan* plan,
                ThreadTally* t) {
  const Clock::duration period = plan->period;
  const Clock::time_point window_end = plan->window_end;
  std::string text;
  std::chrono::microseconds idle_sleep = kFirstIdleSleep;
  for (Clock::time_point now = Clock::now(); now < window_end;
       now = Clock::now()) {
    const Clock::time_point sweep_start = now;
    int work = 0;
    for (BenchClient* c : slice) {
      if (now >= c->next_send && !c->link.closed()) {
        std::int64_t stamp = NowNs();
        text = "bench line " + std::to_string(c->sequence++) + " from " +
               std::to_string(c->user_id) + std::string(kStampMarker) +
               std::to_string(stamp);
        if (c->link.SendTalk(text) == kOk) {
          ++t->sent;
        } else {
          ++t->send_errors;
        }
        t->send_lag.Add(std::chrono::duration_cast<std::chrono::microseconds>(
                            Clock::now() - c->next_send)
                            .count());
        c->next_send += period;
        ++work;
      }
      work += Drain(*c, window_end, t);
      now = Clock::now();
    }
    ++t->sweeps;
    t->busy += now - sweep_start;
    if (work > 0) {
      idle_sleep = kFirstIdleSleep;
    } else {
      std::this_thread::sleep_for(idle_sleep);
      idle_sleep =
          std::min(idle_sleep * 2, std::chrono::microseconds(kLastIdleSleep));
    }
  }
  plan->sent += t->sent;
  ++plan->finished_sending;
  for (Clock::time_point now = Clock::now(); now < plan->grace_end;
       now = Clock::now()) {
    if (plan->finished_sending == plan->threads &&
        t->delivered >= plan->sent * static_cast<std::uint64_t>(slice.size())) {
      break;
    }
    int work = 0;
    for (BenchClient* c : slice) work += Drain(*c, window_end, t);
    if (work == 0) std::this_thread::sleep_for(1ms);
  }
  t->grace = Clock::now() - window_end;
  for (BenchClient* c : slice) t->lost_links += c->link.closed() ? 1 : 0;
}

struct RunResult {
  bool ok = false;
  std::string error;
  double signon_s = 0;
  double window_s = 0;
  ThreadTally total;
  double server_cpu_s = -1;
  double bench_cpu_s = -1;
  long server_rss_kib = -1;
  int server_stop_status = 0;  // -1: it had to be killed
  double stop_s = 0;           // from SIGTERM to its exit
};

RunResult RunOnce(const Options& o, int n) {
  RunResult r;
  ServerProcess server(o.zanthd);
  if (!server.Start(std::max(n + 16, 100), &r.error)) return r;

  std::vector<std::unique_ptr<BenchClient>> clients;
  clients.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    clients.push_back(std::make_unique<BenchClient>());
  Clock::time_point signon_start = Clock::now();
  for (int first = 0; first < n; first += o.batch) {
    int last = std::min(n, first + o.batch);
    if (!SignOnBatch(clients, first, last, server.chat_port(), &r.error))
      return r;
    // Everybody already in the room has been told of the newcomers; read
    // that now so that no queue grows through the whole sign-on.
    for (int i = 0; i < last; ++i)
      (void)Drain(*clients[static_cast<std::size_t>(i)], {}, nullptr);
  }
  r.signon_s =
      std::chrono::duration<double>(Clock::now() - signon_start).count();
  if (!DrainUntilQuiet(clients, kSettleLimit)) {
    r.error = "the sign-on messages did not stop within " +
              std::to_string(kSettleLimit.count()) + " s";
    return r;
  }

  // Random phases spread the sends of each period evenly over the clients.
  LoadPlan plan;
  plan.period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1 / o.rate));
  std::mt19937_64 random(std::random_device{}());
  std::uniform_int_distribution<Clock::rep> phase(0, plan.period.count() - 1);
  const Clock::time_point start = Clock::now() + 50ms;
  for (auto& c : clients) c->next_send = start + Clock::duration(phase(random));
  plan.window_end = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(o.seconds));
  plan.grace_end = plan.window_end + kGraceLimit;
  plan.threads = std::min(o.threads, n);

  std::vector<std::vector<BenchClient*>> slices(
      static_cast<std::size_t>(plan.threads));
  for (int i = 0; i < n; ++i) {
    slices[static_cast<std::size_t>(i % plan.threads)].push_back(
        clients[static_cast<std::size_t>(i)].get());
  }
  std::vector<ThreadTally> tallies(static_cast<std::size_t>(plan.threads));
  const double server_cpu_start = ProcessCpuSeconds(server.pid());
  const double bench_cpu_start = SelfCpuSeconds();
  {
    std::vector<std::jthread> drivers;
    for (std::size_t t = 0; t < slices.size(); ++t) {
      drivers.emplace_back(DriveSlice, slices[t], &plan, &tallies[t]);
    }
    // The CPU figures cover the window only; the drivers go on reading late
    // deliveries after it.
    std::this_thread::sleep_until(plan.window_end);
    r.server_cpu_s = ProcessCpuSeconds(server.pid()) - server_cpu_start;
    r.bench_cpu_s = SelfCpuSeconds() - bench_cpu_start;
  }
  r.window_s = std::chrono::duration<double>(plan.window_end - start).count();
  for (const ThreadTally& t : tallies) {
    r.total.sent += t.sent;
    r.total.send_errors += t.send_errors;
    r.total.delivered_in_window += t.delivered_in_window;
    r.total.delivered += t.delivered;
    r.total.foreign += t.foreign;
    r.total.lost_links += t.lost_links;
    r.total.sweeps += t.sweeps;
    r.total.busy += t.busy;
    r.total.grace = std::max(r.total.grace, t.grace);
    r.total.latency.Merge(t.latency);
    r.total.send_lag.Merge(t.send_lag);
  }
  r.server_rss_kib = ProcessPeakRssKiB(server.pid());
  const Clock::time_point stop_start = Clock::now();
  r.server_stop_status = server.Stop(kStopLimit);
  r.stop_s = std::chrono::duration<double>(Clock::now() - stop_start).count();
  r.ok = true;
  return r;
}

double Ms(std::uint64_t micros) { return static_cast<double>(micros) / 1000.0; }

void PrintHeader() {
  std::printf("%7s %8s %10s %9s %8s %8s %8s %9s %8s %8s %8s %9s %7s\n",
              "clients", "sent", "delivered", "deliv/s", "p50 ms", "p99 ms",
              "max ms", "srv CPU s", "srv MiB", "lag p99", "sweep ms",
              "bench CPU", "sign-on");
  std::fflush(stdout);
}

void PrintResult(const Options& o, int n, const RunResult& r) {
  if (!r.ok) {
    std::printf("%7d  run failed: %s\n", n, r.error.c_str());
    std::fflush(stdout);
    return;
  }
  const ThreadTally& t = r.total;
  const double sweep_ms =
      t.sweeps == 0
          ? 0
          : std::chrono::duration<double, std::milli>(t.busy).count() /
                static_cast<double>(t.sweeps);
  std::printf("%7d %8" PRIu64 " %10" PRIu64
              " %9.0f %8.2f %8.2f %8.1f %9.2f %8.1f %8.2f %8.3f"
              " %9.2f %6.1fs\n",
              n, t.sent, t.delivered,
              static_cast<double>(t.delivered_in_window) / r.window_s,
              Ms(t.latency.Percentile(0.50)), Ms(t.latency.Percentile(0.99)),
              Ms(t.latency.max()), r.server_cpu_s,
              static_cast<double>(r.server_rss_kib) / 1024.0,
              Ms(t.send_lag.Percentile(0.99)), sweep_ms, r.bench_cpu_s,
              r.signon_s);
  // Notes on anything that makes the figures less than they seem.
  const double target = o.rate * r.window_s * n;
  const double expected = static_cast<double>(t.sent) * n;
  if (static_cast<double>(t.delivered) < expected) {
    std::printf(
        "        note: only %.1f%% of the %.0f expected deliveries had arrived "
        "%.1f s"
        " after the window\n",
        100.0 * static_cast<double>(t.delivered) / expected, expected,
        std::chrono::duration<double>(t.grace).count());
  }
  if (r.server_cpu_s >= 0.9 * r.window_s) {
    std::printf(
        "        note: the server used %.0f%% of a core: it is saturated\n",
        100.0 * r.server_cpu_s / r.window_s);
  }
  if (static_cast<double>(t.sent) < 0.98 * target ||
      Ms(t.send_lag.Percentile(0.99)) > 1000.0 * 0.5 / o.rate) {
    std::printf(
        "        note: the load generator fell behind (%.0f of %.0f lines sent;"
        " send lag p99 %.1f ms)\n",
        static_cast<double>(t.sent), target, Ms(t.send_lag.Percentile(0.99)));
  }
  if (sweep_ms > 1.0) {
    std::printf(
        "        note: a driver thread took %.1f ms to visit its clients once; "
        "the"
        " delays include up to that much\n",
        sweep_ms);
  }
  if (r.server_stop_status < 0) {
    std::printf(
        "        note: zanthd did not stop within %lld s of SIGTERM and was "
        "killed\n",
        static_cast<long long>(kStopLimit.count()));
  } else if (r.stop_s > 1.0) {
    std::printf("        note: zanthd took %.1f s to exit after SIGTERM\n",
                r.stop_s);
  }
  if (t.send_errors > 0 || t.lost_links > 0) {
    std::printf("        note: %" PRIu64 " sends failed; %" PRIu64
                " connections ended\n",
                t.send_errors, t.lost_links);
  }
  if (t.foreign > 0) {
    std::printf("        note: %" PRIu64 " other talk lines were received\n",
                t.foreign);
  }
  std::fflush(stdout);
}

int Main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (o.zanthd.empty()) o.zanthd = ExecutableDirectory() + "/zanthd";
  long files = RaiseOpenFileLimit();
  int most = *std::max_element(o.clients.begin(), o.clients.end());
  // Each client holds a socket and a poller descriptor.
  if (files >= 0 && files < 2L * most + 64) {
    std::fprintf(
        stderr,
        "chat_bench: %d clients need about %d descriptors; the limit is %ld\n",
        most, 2 * most + 64, files);
    return 1;
  }
  std::printf(
      "chat_bench: %s, %.1f s per run, %.2f lines/s per client, %d driver "
      "threads;"
      " one room, each line goes to every client\n",
      o.zanthd.c_str(), o.seconds, o.rate, o.threads);
  PrintHeader();
  int failures = 0;
  for (int n : o.clients) {
    RunResult r = RunOnce(o, n);
    PrintResult(o, n, r);
    if (!r.ok) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zanth::bench

int main(int argc, char** argv) { return zanth::bench::Main(argc, argv); }

// soak: a long run of zanthd under a steady mixed load. A thousand clients
// sign on and off, talk, move, change rooms, faces and colours, wear, drop,
// move and delete loose props, and staff upload media files, while the
// server's resident memory, open descriptors and CPU are sampled. At the end
// every request that the server answers to its sender must have had its
// answer, and what the clients saw must match what the server saved.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/options.h"
#include "bench/server_process.h"
#include "bench/soak_client.h"
#include "core/result.h"
#include "platform/socket.h"

namespace zanth::bench {
namespace {

using namespace std::chrono_literals;
using Clock = SoakClock;

// The driver's pass: read what is ready, tick every client, then sleep out
// the rest of this period, so that messages arrive in batches and the
// driver leaves the server most of the machine.
constexpr auto kPassPeriod = 5ms;
constexpr int kMaxWaitsPerPass = 8;
constexpr int kEventsPerWait = 256;  // the most one Poller::Wait returns
// At most this many clients connect or sign on at once: the server's
// listen backlog is 15, and connects beyond it wait for a retransmitted SYN.
constexpr int kMaxSigningOn = 14;
// After the load: the longest wait for the last answers, and the silence
// that ends it.
constexpr auto kDrainLimit = 120s;
constexpr auto kQuietWindow = 2s;
constexpr auto kStopLimit = 30s;
// "Flat": resident memory in the last minute at most this much above its
// level in the minute after the warm-up (means of the samples), and the
// descriptors beyond one per open client within this range.
constexpr double kFlatRssGrowthPct = 5.0;
constexpr int kFlatDescriptorRange = 2 * kMaxSigningOn;

struct Options {
  int clients = 1000;
  double minutes = 30;
  double sample_seconds = 10;
  double warmup_minutes = -1;  // default: 3, or a third of a shorter run
  int rooms = 40;
  int room_capacity = 60;
  int staff = 3;
  std::uint64_t seed = 0;  // 0: random
  std::string out = ".";
  std::string zanthd;
};

const char kUsage[] =
    "usage: soak [--clients N] [--minutes M] [--sample-seconds S] [--out DIR]\n"
    "            [--warmup-minutes W] [--rooms R] [--room-capacity C]\n"
    "            [--staff K] [--seed X] [--zanthd PATH]\n"
    "  --clients         simulated users (default 1000)\n"
    "  --minutes         length of the load (default 30)\n"
    "  --sample-seconds  time between two samples of the server (default 10)\n"
    "  --out             directory for soak-NxM.csv and soak-NxM.json (default "
    ".)\n"
    "  --warmup-minutes  start of the flatness test (default 3, at most M/3)\n"
    "  --rooms           rooms besides the gate (default 40)\n"
    "  --room-capacity   occupants per room (default 60)\n"
    "  --staff           clients that sign on as staff and upload (default 3)\n"
    "  --seed            seed of the random choices (default: random)\n"
    "  --zanthd          the server binary (default: zanthd beside this "
    "program)\n";

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || i + 1 >= argc) return false;
    const char* value = argv[++i];
    bool ok = true;
    if (arg == "--clients") {
      ok = ParseInt(value, 1, 1000, &o->clients);
    } else if (arg == "--minutes") {
      ok = ParseDouble(value, 0.1, 24 * 60, &o->minutes);
    } else if (arg == "--sample-seconds") {
      ok = ParseDouble(value, 0.5, 600, &o->sample_seconds);
    } else if (arg == "--warmup-minutes") {
      ok = ParseDouble(value, 0, 24 * 60, &o->warmup_minutes);
    } else if (arg == "--rooms") {
      ok = ParseInt(value, 1, 500, &o->rooms);
    } else if (arg == "--room-capacity") {
      ok = ParseInt(value, 1, 2000, &o->room_capacity);
    } else if (arg == "--staff") {
      ok = ParseInt(value, 0, 50, &o->staff);
    } else if (arg == "--seed") {
      auto [end, ec] =
          std::from_chars(value, value + std::strlen(value), o->seed);
      ok = ec == std::errc() && *end == '\0';
    } else if (arg == "--out") {
      o->out = value;
    } else if (arg == "--zanthd") {
      o->zanthd = value;
    } else {
      ok = false;
    }
    if (!ok) return false;
  }
  return o->staff <= o->clients;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Sample {
  double time_s = 0;
  long rss_kib = -1;
  int fds = -1;
  double cpu_pct = 0;
  int clients = 0;  // open connections of the driver
  double actions_per_s = 0;
  double bench_cpu_pct = 0;
};

std::uint64_t ActionCount(const SoakTotals& t) {
  std::uint64_t sum = 0;
  for (std::uint64_t n : t.actions) sum += n;
  return sum;
}

// Takes the samples and writes each as a CSV line at once, so that a run
// cut short still leaves its figures.
class Sampler {
 public:
  Sampler(int pid, const std::string& csv_path)
      : pid_(pid), csv_(csv_path, std::ios::trunc) {
    csv_ << "time_s,rss_kib,fds,cpu_pct,clients,actions_per_s,bench_cpu_pct\n";
  }
  bool ok() const { return static_cast<bool>(csv_); }

  void Take(double time_s, const SoakTotals& totals) {
    Sample s;
    s.time_s = time_s;
    s.rss_kib = ProcessRssKiB(pid_);
    s.fds = ProcessOpenDescriptors(pid_);
    s.clients = static_cast<int>(totals.open_links);
    const double cpu = ProcessCpuSeconds(pid_);
    const double bench_cpu = SelfCpuSeconds();
    const std::uint64_t actions = ActionCount(totals);
    if (!samples_.empty() && time_s > last_time_) {
      const double span = time_s - last_time_;
      s.cpu_pct = 100.0 * (cpu - last_cpu_) / span;
      s.bench_cpu_pct = 100.0 * (bench_cpu - last_bench_cpu_) / span;
      s.actions_per_s = static_cast<double>(actions - last_actions_) / span;
    }
    last_time_ = time_s;
    last_cpu_ = cpu;
    last_bench_cpu_ = bench_cpu;
    last_actions_ = actions;
    samples_.push_back(s);
    char line[160];
    std::snprintf(line, sizeof line, "%.1f,%ld,%d,%.1f,%d,%.1f,%.1f\n",
                  s.time_s, s.rss_kib, s.fds, s.cpu_pct, s.clients,
                  s.actions_per_s, s.bench_cpu_pct);
    csv_ << line << std::flush;
  }
  const std::vector<Sample>& samples() const { return samples_; }

 private:
  int pid_;
  std::ofstream csv_;
  std::vector<Sample> samples_;
  double last_time_ = 0;
  double last_cpu_ = 0;
  double last_bench_cpu_ = 0;
  std::uint64_t last_actions_ = 0;
};

std::string ExtraRooms(const Options& o, std::uint16_t first_room) {
  std::string xml;
  for (int r = 0; r < o.rooms; ++r) {
    const std::string id = std::to_string(first_room + r);
    xml += "  <room id=\"" + id + "\" name=\"room " + id + "\" maxocc=\"" +
           std::to_string(o.room_capacity) + "\" desc=\"r" + id +
           ".rmd\" src=\"r" + id + ".rmd\"/>\n";
  }
  return xml;
}

// The loose props of each room in a saved configuration, as (x, y) in
// order: the "prop" children of each "room" element.
std::map<int, std::vector<std::pair<int, int>>> SavedLooseProps(
    const std::string& path) {
  std::ifstream in(path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  auto attribute = [](std::string_view tag, std::string_view name) {
    std::string key = " " + std::string(name) + "=\"";
    std::size_t at = tag.find(key);
    if (at == std::string_view::npos) return -1;
    return std::atoi(std::string(tag.substr(at + key.size())).c_str());
  };
  std::map<int, std::vector<std::pair<int, int>>> rooms;
  int room = -1;
  for (std::size_t at = text.find('<'); at != std::string::npos;
       at = text.find('<', at + 1)) {
    std::size_t end = text.find('>', at);
    if (end == std::string::npos) break;
    std::string_view tag(text.data() + at, end - at);
    if (tag.rfind("<room ", 0) == 0) {
      room = attribute(tag, "id");
      rooms[room];
    } else if (tag.rfind("</room", 0) == 0) {
      room = -1;
    } else if (tag.rfind("<prop ", 0) == 0 && room >= 0) {
      rooms[room].emplace_back(attribute(tag, "horz"), attribute(tag, "vert"));
    }
    if (tag.size() > 1 && tag.back() == '/' && tag.rfind("<room ", 0) == 0)
      room = -1;
  }
  return rooms;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// Least-squares slope of RSS (KiB) against time (minutes), over the samples
// at or after from_s.
double RssSlopePerMinute(const std::vector<Sample>& samples, double from_s) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const Sample& s : samples) {
    if (s.time_s < from_s || s.rss_kib < 0) continue;
    const double x = s.time_s / 60.0;
    const double y = static_cast<double>(s.rss_kib);
    n += 1;
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double d = n * sxx - sx * sx;
  return n < 2 || d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

// The mean RSS of the samples taken in [from_s, to_s); -1 when none.
double MeanRss(const std::vector<Sample>& samples, double from_s, double to_s) {
  double sum = 0;
  int n = 0;
  for (const Sample& s : samples) {
    if (s.time_s < from_s || s.time_s >= to_s || s.rss_kib < 0) continue;
    sum += static_cast<double>(s.rss_kib);
    ++n;
  }
  return n > 0 ? sum / n : -1;
}

struct Check {
  std::string failures;  // "; "-separated
  void Fail(const std::string& what) {
    if (!failures.empty()) failures += "; ";
    failures += what;
  }
  bool ok() const { return failures.empty(); }
};

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

int Main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (o.zanthd.empty()) o.zanthd = ExecutableDirectory() + "/zanthd";
  if (o.warmup_minutes < 0) o.warmup_minutes = std::min(3.0, o.minutes / 3);
  if (o.seed == 0) o.seed = std::random_device{}() | 1;
  long files = RaiseOpenFileLimit();
  // Each client holds a socket and a poller descriptor.
  if (files >= 0 && files < 2L * o.clients + 64) {
    std::fprintf(
        stderr,
        "soak: %d clients need about %d descriptors; the limit is %ld\n",
        o.clients, 2 * o.clients + 64, files);
    return 1;
  }
  char stem[64];
  std::snprintf(stem, sizeof stem, "soak-%dx%g", o.clients, o.minutes);
  std::error_code ec;
  std::filesystem::create_directories(o.out, ec);
  const std::string csv_path = o.out + "/" + stem + ".csv";
  const std::string json_path = o.out + "/" + stem + ".json";

  constexpr std::uint16_t kGateRoom = 100;
  constexpr std::uint16_t kFirstRoom = 200;
  ServerProcess server(o.zanthd);
  std::string error;
  if (!server.Start(o.clients + 16, &error, ExtraRooms(o, kFirstRoom))) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 1;
  }
  std::printf(
      "soak: %s, %d clients (%d staff), %g minutes, %d rooms of %d, seed "
      "%" PRIu64 "; data in %s\n",
      o.zanthd.c_str(), o.clients, o.staff, o.minutes, o.rooms, o.room_capacity,
      o.seed, server.data_dir().c_str());
  std::fflush(stdout);

  platform::Poller poller;
  if (!poller.valid()) {
    std::fprintf(stderr, "soak: cannot make a poller\n");
    return 1;
  }
  SoakTotals totals;
  SoakSite site;
  site.port = server.chat_port();
  site.gate_room = kGateRoom;
  site.first_room = kFirstRoom;
  site.room_count = o.rooms;
  site.clients = o.clients;
  site.poller = &poller;
  site.totals = &totals;
  std::vector<std::unique_ptr<SoakClient>> clients;
  for (int i = 0; i < o.clients; ++i)
    clients.push_back(std::make_unique<SoakClient>(&site, i, i < o.staff));
  std::mt19937_64 random(o.seed);

  Sampler sampler(server.pid(), csv_path);
  if (!sampler.ok()) {
    std::fprintf(stderr, "soak: cannot write %s\n", csv_path.c_str());
    return 1;
  }
  const Clock::time_point start = Clock::now();
  const Clock::time_point load_end =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(o.minutes * 60));
  const auto sample_period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(o.sample_seconds));
  Clock::time_point next_sample = start;
  Clock::time_point next_report = start + 60s;
  Clock::time_point last_message = start;
  std::vector<platform::Poller::Event> events;
  bool server_alive = true;

  // One pass of the driver. acting: clients act and sign on; otherwise
  // they only read, finish their sign-ons and leaves.
  auto pass = [&](Clock::time_point now, bool acting) {
    const std::uint64_t before = totals.messages;
    for (int w = 0; w < kMaxWaitsPerPass; ++w) {
      int wait_error = 0;
      int n = poller.Wait(0, &events, &wait_error);
      for (int e = 0; e < n; ++e)
        static_cast<SoakClient*>(events[static_cast<std::size_t>(e)].token)
            ->OnReady(now, random);
      if (n < kEventsPerWait) break;
    }
    if (totals.messages != before) last_message = now;
    int signing_on = 0;
    for (const auto& c : clients) {
      signing_on +=
          c->phase() == Phase::kConnecting || c->phase() == Phase::kSigningOn;
    }
    for (const auto& c : clients) {
      c->Tick(now, random, acting);
      if (acting && c->phase() == Phase::kOffline && c->next_time() <= now &&
          signing_on < kMaxSigningOn) {
        if (c->StartSignOn(now, random) == kOk) ++signing_on;
      }
    }
  };

  while (server_alive) {
    const Clock::time_point now = Clock::now();
    if (now >= next_sample) {
      sampler.Take(Seconds(next_sample - start), totals);
      next_sample += sample_period;
      server_alive = ProcessRssKiB(server.pid()) >= 0;
    }
    if (now >= load_end) break;
    pass(now, true);
    if (now >= next_report) {
      const Sample& s = sampler.samples().back();
      std::printf(
          "soak: %5.1f min  rss %ld KiB  fds %d  cpu %.0f%%  clients %d  %.0f "
          "actions/s\n",
          Seconds(now - start) / 60, s.rss_kib, s.fds, s.cpu_pct, s.clients,
          s.actions_per_s);
      std::fflush(stdout);
      next_report += 60s;
    }
    std::this_thread::sleep_until(now + kPassPeriod);
  }
  const double load_s = Seconds(Clock::now() - start);

  // The quiet drain: no more actions or sign-ons; leaves and sign-ons under
  // way finish, and every answer still owed arrives.
  const Clock::time_point drain_start = Clock::now();
  bool drained = false;
  while (server_alive && Clock::now() - drain_start < kDrainLimit) {
    const Clock::time_point now = Clock::now();
    pass(now, false);
    bool settled = true;
    for (const auto& c : clients) {
      if (c->phase() == Phase::kConnecting || c->phase() == Phase::kSigningOn ||
          c->phase() == Phase::kLeaving ||
          (c->phase() == Phase::kOnline && c->Pending() > 0)) {
        settled = false;
        break;
      }
    }
    if (settled && now - last_message >= kQuietWindow) {
      drained = true;
      break;
    }
    std::this_thread::sleep_until(now + kPassPeriod);
  }
  const double drain_s = Seconds(Clock::now() - drain_start);
  server_alive = server_alive && ProcessRssKiB(server.pid()) >= 0;

  // Accounting.
  Check check;
  if (!server_alive) check.Fail("the server stopped during the run");
  if (!drained)
    check.Fail("answers were still owed or arriving after the drain limit");
  std::array<std::uint64_t, kRequestKinds> owed{};
  std::array<std::uint64_t, kRequestKinds> answered{};
  int short_clients = 0;
  std::uint64_t misordered_echoes = 0;
  int online = 0;
  for (const auto& c : clients) {
    bool short_here = false;
    for (int r = 0; r < kRequestKinds; ++r) {
      owed[static_cast<std::size_t>(r)] += c->sent(r);
      answered[static_cast<std::size_t>(r)] += c->answered(r);
      short_here = short_here || c->sent(r) != c->answered(r);
    }
    short_clients += short_here;
    misordered_echoes += c->misordered_echoes();
    online += c->phase() == Phase::kOnline;
  }
  if (short_clients > 0)
    check.Fail(std::to_string(short_clients) + " clients lack answers");
  if (misordered_echoes > 0)
    check.Fail(std::to_string(misordered_echoes) + " echoes out of order");
  if (totals.talk_misordered > 0)
    check.Fail(std::to_string(totals.talk_misordered) +
               " talk lines heard out of order");
  const std::uint64_t signons_asked = totals.actions[kSignOn];
  if (totals.signons_done != signons_asked)
    check.Fail(std::to_string(signons_asked - totals.signons_done) +
               " sign-ons did not finish");
  if (totals.lost_links > 0)
    check.Fail(std::to_string(totals.lost_links) +
               " connections ended by the server");
  if (totals.kills > 0) check.Fail(std::to_string(totals.kills) + " kills");
  if (totals.leave_timeouts > 0)
    check.Fail(std::to_string(totals.leave_timeouts) +
               " sign-offs left answers owed");
  if (totals.forced_moves > 0)
    check.Fail(std::to_string(totals.forced_moves) +
               " moves were moved back by the server");

  // Every occupant of a room must see the same loose props.
  std::map<int, const SoakClient*> witness;
  int rooms_disagreeing = 0;
  for (const auto& c : clients) {
    if (c->phase() != Phase::kOnline) continue;
    auto [it, fresh] = witness.emplace(c->room(), c.get());
    if (!fresh && it->second->loose_props() != c->loose_props())
      ++rooms_disagreeing;
  }
  if (rooms_disagreeing > 0)
    check.Fail(std::to_string(rooms_disagreeing) +
               " clients disagree with their room on its loose props");

  // Stop the server, then compare what it saved with what the clients saw.
  const double server_cpu_s = ProcessCpuSeconds(server.pid());
  const long peak_rss = ProcessPeakRssKiB(server.pid());
  const int stop_status = server.Stop(kStopLimit);
  if (server_alive && stop_status != 0)
    check.Fail("zanthd exited with status " + std::to_string(stop_status));
  auto saved = SavedLooseProps(server.data_dir() + "zanth.conf");
  int rooms_checked = 0;
  int rooms_mismatched = 0;
  std::size_t loose_saved = 0;
  for (const auto& [room, props] : saved) loose_saved += props.size();
  for (const auto& [room, c] : witness) {
    std::vector<std::pair<int, int>> seen;
    for (const SeenProp& p : c->loose_props()) seen.emplace_back(p.x, p.y);
    ++rooms_checked;
    if (saved[room] != seen) ++rooms_mismatched;
  }
  if (rooms_mismatched > 0)
    check.Fail(std::to_string(rooms_mismatched) +
               " rooms saved other loose props than their occupants saw");
  int uploads_checked = 0;
  for (const auto& c : clients) {
    if (c->upload_name().empty()) continue;
    ++uploads_checked;
    if (ReadWhole(server.data_dir() + "media/" + c->upload_name()) !=
        c->upload_content())
      check.Fail("media/" + c->upload_name() + " differs from its last upload");
  }

  // Flatness after the warm-up.
  const std::vector<Sample>& samples = sampler.samples();
  const double warmup_s = o.warmup_minutes * 60;
  const Sample* at_warmup = nullptr;
  long rss_max = -1;
  int fds_min = -1, fds_max = -1, extra_min = 0, extra_max = 0;
  double cpu_sum = 0, bench_cpu_sum = 0;
  int cpu_n = 0;
  for (const Sample& s : samples) {
    if (s.time_s < warmup_s) continue;
    if (at_warmup == nullptr) at_warmup = &s;
    rss_max = std::max(rss_max, s.rss_kib);
    const int extra = s.fds - s.clients;
    if (fds_min < 0) {
      fds_min = fds_max = s.fds;
      extra_min = extra_max = extra;
    }
    fds_min = std::min(fds_min, s.fds);
    fds_max = std::max(fds_max, s.fds);
    extra_min = std::min(extra_min, extra);
    extra_max = std::max(extra_max, extra);
    cpu_sum += s.cpu_pct;
    bench_cpu_sum += s.bench_cpu_pct;
    ++cpu_n;
  }
  // Single samples swing with the output queues of the moment, so the
  // memory at the end of the warm-up and at the end of the run are each
  // the mean of a window of samples: a minute, or a quarter of what
  // follows the warm-up when that is shorter.
  const Sample& last = samples.back();
  const double window_s =
      std::max(o.sample_seconds, std::min(60.0, (last.time_s - warmup_s) / 4));
  const double rss_warmup = MeanRss(samples, warmup_s, warmup_s + window_s);
  const double rss_end =
      MeanRss(samples, last.time_s - window_s + 0.001, last.time_s + 1);
  const double rss_growth_pct =
      rss_warmup > 0 ? 100.0 * (rss_end - rss_warmup) / rss_warmup : 0;
  const double slope = RssSlopePerMinute(samples, o.minutes * 60 / 3);
  const bool rss_flat =
      rss_warmup > 0 && rss_end > 0 && rss_growth_pct < kFlatRssGrowthPct;
  const bool fds_flat =
      at_warmup != nullptr && extra_max - extra_min <= kFlatDescriptorRange;

  std::string actions_json;
  for (int a = 0; a < kActionKinds; ++a) {
    if (a > 0) actions_json += ",";
    actions_json += "\"" + std::string(ActionName(a)) + "\":" +
                    std::to_string(totals.actions[static_cast<std::size_t>(a)]);
  }
  std::string answers_json;
  for (int r = 0; r < kRequestKinds; ++r) {
    if (r > 0) answers_json += ",";
    answers_json += "\"" + std::string(RequestName(r)) + "\":[" +
                    std::to_string(owed[static_cast<std::size_t>(r)]) + "," +
                    std::to_string(answered[static_cast<std::size_t>(r)]) + "]";
  }
  char head[1024];
  std::snprintf(
      head, sizeof head,
      "{\"clients\":%d,\"staff\":%d,\"minutes\":%g,\"seed\":%" PRIu64
      ",\"load_s\":%.1f,\"drain_s\":%.1f,\"samples\":%zu,\"warmup_end_s\":%.0f,"
      "\"rss_window_s\":%.0f,\"rss_warmup_kib\":%.0f,\"rss_end_kib\":%.0f,"
      "\"rss_max_after_warmup_kib\":%ld,"
      "\"rss_peak_kib\":%ld,\"rss_growth_pct\":%.2f,\"rss_slope_kib_per_min\":%"
      ".1f,"
      "\"fds_min\":%d,\"fds_max\":%d,\"fds_beyond_clients_min\":%d,"
      "\"fds_beyond_clients_max\":%d,\"cpu_mean_pct\":%.1f,\"bench_cpu_mean_"
      "pct\":%.1f,"
      "\"server_cpu_s\":%.1f,\"rss_flat\":%s,\"fds_flat\":%s,",
      o.clients, o.staff, o.minutes, o.seed, load_s, drain_s, samples.size(),
      at_warmup != nullptr ? at_warmup->time_s : -1.0, window_s, rss_warmup,
      rss_end, rss_max, peak_rss, rss_growth_pct, slope, fds_min, fds_max,
      extra_min, extra_max, cpu_n > 0 ? cpu_sum / cpu_n : 0,
      cpu_n > 0 ? bench_cpu_sum / cpu_n : 0, server_cpu_s,
      rss_flat ? "true" : "false", fds_flat ? "true" : "false");
  char tail[1024];
  std::snprintf(
      tail, sizeof tail,
      "\"online_at_end\":%d,\"signons\":[%" PRIu64 ",%" PRIu64
      "],\"signon_failures\":%" PRIu64 ",\"lost_links\":%" PRIu64
      ",\"kills\":%" PRIu64 ",\"messages\":%" PRIu64 ",\"talk_heard\":%" PRIu64
      ",\"moves_seen\":%" PRIu64 ",\"file_changes\":%" PRIu64
      ",\"room_refusals\":%" PRIu64 ",\"notices\":%" PRIu64
      ",\"loose_props_saved\":%zu,\"rooms_checked\":%d,\"uploads_checked\":%d,",
      online, signons_asked, totals.signons_done, totals.signon_failures,
      totals.lost_links, totals.kills, totals.messages, totals.talk_heard,
      totals.moves_seen, totals.file_changes, totals.room_refusals,
      totals.notices, loose_saved, rooms_checked, uploads_checked);
  const std::string json =
      std::string(head) + tail + "\"actions\":{" + actions_json +
      "},\"answers\":{" + answers_json +
      "},\"accounted\":" + (check.ok() ? "true" : "false") +
      ",\"failures\":\"" + JsonEscape(check.failures) + "\"}";
  std::printf("%s\n", json.c_str());
  std::ofstream(json_path, std::ios::trunc) << json << "\n";
  std::printf(
      "soak: %s; RSS %s (%+.1f%% after warm-up, %.1f KiB/min), descriptors %s; "
      "CSV %s\n",
      check.ok() ? "every answer accounted for" : check.failures.c_str(),
      rss_flat ? "flat" : "NOT flat", rss_growth_pct, slope,
      fds_flat ? "flat" : "NOT flat", csv_path.c_str());
  return check.ok() && rss_flat && fds_flat ? 0 : 1;
}

}  // namespace
}  // namespace zanth::bench

int main(int argc, char** argv) { return zanth::bench::Main(argc, argv); }

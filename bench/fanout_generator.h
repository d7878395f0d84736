// The fan-out load generator's engine: one thread and one epoll set for
// every client. It signs clients on from their own loopback source
// addresses, sends benchmark talk lines closed-loop (a bounded window in
// flight) or open-loop (on a fixed schedule), and checks that each client
// receives every line of its room exactly once and in order.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/latency_histogram.h"
#include "bench/load_link.h"
#include "bench/server_process.h"
#include "client/decode.h"
#include "wire/framing.h"

namespace zanth::bench {

enum class Scenario { kSat, kLat, kHold, kScale };
// zanthd with native clients; zanthd with browser clients (the same chat
// stream in WebSocket frames through its HTTP port); the bench relay; and
// ngIRCd (Debian's ngircd) with IRC clients, as a peer.
enum class Target { kZanthd, kZanthdWeb, kRelay, kNgircd };

// What bench/fanout was asked to do; zeros and empty lists are filled in
// with the scenario's defaults before a run.
struct FanoutOptions {
  Scenario scenario = Scenario::kSat;
  std::vector<Target> targets;  // empty: the scenario's default
  std::vector<int> clients;     // empty: the scenario's default
  int rooms = 0;                // 0: the scenario's default
  double seconds = 0;           // 0: the scenario's default
  int window = 0;               // sat: lines in flight; 0: 4 x clients
  double rate = 0;              // lat, scale: offered deliveries/s
  int connect_window = 14;       // clients not yet answered at once
  double signon_limit = 600;  // seconds
  int self_cpu = 0;
  int server_cpu = 1;
  long relay_pass_limit = 0;
  long relay_buffer = 0;  // the relay's socket buffers; 0: the system's
  int payload = 64;  // bytes of text in each talk line
  std::string zanthd;
  std::string relay;
  std::string ngircd = "/usr/sbin/ngircd";
  std::string ngircd_conf;  // the configuration template (bench/ngircd.conf)
  std::string profile;  // perf output prefix; empty: no profile
};

const char* ScenarioName(Scenario s);
const char* TargetName(Target t);

enum class State { kIdle, kConnecting, kSigningOn, kReady, kEnded };

// One simulated client and what it has sent and received.
struct Client {
  LoadLink link;
  int index = 0;
  int room = 0;  // index into the generator's rooms
  int slot = 0;  // place among the room's members
  State state = State::kIdle;
  bool heard = false;  // the server has sent it something
  std::uint16_t user_count = 0;  // the last user count the server sent it
  std::uint32_t user_id = 0;
  std::uint16_t landed_room = 0;
  std::uint32_t next_seq = 0;  // of the next line it sends
  // The next sequence number expected from each member of its room.
  std::vector<std::uint32_t> expect;
  // Receipts still missing for each of its own lines not yet received by
  // the whole room, oldest first; the first is line pending_base.
  std::deque<std::uint32_t> pending;
  std::uint32_t pending_base = 0;
};

// One room of the site and the clients the generator puts in it.
struct Room {
  std::uint16_t id = 0;
  std::vector<int> members;
};

// What one run saw.
struct Tally {
  std::uint64_t sent = 0;
  std::uint64_t delivered = 0;
  std::uint64_t delivered_in_window = 0;
  std::uint64_t duplicates = 0;
  std::uint64_t lost = 0;        // skipped sequence numbers
  std::uint64_t misrouted = 0;   // from another room or a wrong speaker
  std::uint64_t foreign = 0;     // talk that is not a benchmark line
  std::uint64_t other = 0;       // other messages
  std::uint64_t lost_links = 0;  // connections that ended
  std::uint64_t unfinished = 0;  // lines not received by all at the end
  LatencyHistogram latency;      // receipt minus stamp, in microseconds
  LatencyHistogram send_lag;     // actual minus scheduled send time
};

// The figures of one run of one scenario against one server.
struct RunResult {
  bool ok = false;
  std::string error;
  Target target = Target::kZanthd;
  int clients = 0;
  double signon_s = 0;
  double window_s = 0;
  double server_cpu_s = -1;
  double gen_cpu_s = -1;
  long rss_before_kib = -1;
  long rss_signed_on_kib = -1;
  long rss_warm_kib = -1;  // with warm_clients signed on
  int warm_clients = 0;
  long rss_peak_kib = -1;
  int stop_status = 0;
  double offered = 0;  // deliveries/s, open loop
  int window = 0;
  Tally tally;
};

using Clock = std::chrono::steady_clock;

// Drives the clients of one run against the server process pid listening on
// 127.0.0.1:port. Client i sits in room i mod rooms. One thread only.
class Generator : public wire::MessageReceiver {
 public:
  Generator(const FanoutOptions& options, Target target, int clients, int pid,
            std::uint16_t port);
  ~Generator() override;

  // Connects and signs on every client, with at most connect_window of
  // them not yet answered by the server (so not yet accepted), checks
  // that each landed in its room (zanthd), and reads until the server falls
  // quiet. false with *error set when any of that failed.
  bool SignOn(std::string* error);
  // Signs on clients until count of them are, within deadline.
  bool SignOnUpTo(int count, Clock::time_point deadline, std::string* error);
  // Reads until nothing has come for kSettleQuiet and, with zanthd, every
  // client signed on has been sent the number signed on (the server sends
  // the user count at most every 5 s), at most kSettleLimit.
  bool Settle(std::string* error);
  // The load window of the scenario, then the grace period.
  void Load();
  // Reads for the idle window, sending nothing.
  void Idle();
  // Takes the server's peak memory.
  void Finish();
  // Starts perf on the server when the options ask for a profile.
  void StartProfile(Profiler* profiler);

  // One message (or IRC line) for the client being read.
  bool OnMessage(std::uint32_t type, const std::uint8_t* payload,
                 std::size_t size, bool compressed) override;

  RunResult& result() { return result_; }

 private:
  std::int64_t NowUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                                 epoch_)
        .count();
  }
  void StartConnect(Client& c, std::string* error);
  void Interest(Client& c, bool write);
  // Waits up to timeout for readiness and serves it. Returns the number
  // of ready sockets.
  long Poll(Clock::duration timeout, std::string* error);
  void Serve(Client& c, std::uint32_t events, std::string* error);
  void End(Client& c);
  void SendLine(Client& c, std::int64_t stamp_us);
  void OnTalk(const std::uint8_t* payload, std::size_t size);
  void OnIrcLine(std::string_view line);
  // A benchmark line's text, "SENDER:SEQUENCE:STAMP:padding", received by
  // the current client; speaker_ok tells whether the server named its
  // sender rightly.
  void Count(std::string_view text, const std::function<bool(const Client&)>& speaker_ok);
  void Received(Client& sender, std::uint32_t seq);
  void BecomeReady(Client& c);
  bool irc() const { return target_ == Target::kNgircd; }
  bool zanthd() const { return target_ == Target::kZanthd || target_ == Target::kZanthdWeb; }
  Client* NextSender();

  const FanoutOptions& options_;
  const Target target_;
  const int pid_;
  const std::uint16_t port_;
  Clock::time_point epoch_ = Clock::now();
  int epoll_ = -1;
  std::vector<std::unique_ptr<Client>> clients_;
  std::vector<Room> rooms_;
  std::vector<epoll_event> events_;
  std::vector<std::uint8_t> scratch_;
  Client* current_ = nullptr;  // the client being read
  client::Speech speech_;
  std::size_t next_connect_ = 0;
  int signing_on_ = 0;
  int unheard_ = 0;  // connected or connecting, nothing received yet
  // Clients whose last user count equals the number signed on.
  int told_count_ = 0;
  int signed_on_ = 0;
  std::int64_t now_us_ = 0;  // at the current read
  std::int64_t window_end_us_ = INT64_MAX;
  std::uint64_t in_flight_ = 0;
  std::size_t next_sender_ = 0;
  RunResult result_;
};


// Starts the target (pinned as the options say), runs the scenario with n
// clients and stops the target. The result says what failed, if anything.
RunResult RunOnce(const FanoutOptions& o, Target target, int n);

}  // namespace zanth::bench

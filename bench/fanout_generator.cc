// The fan-out load generator's engine.
#include "bench/fanout_generator.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>

#include "client/encode.h"
#include "client/records.h"
#include "core/result.h"

namespace zanth::bench {
namespace {

using namespace std::chrono_literals;

// Bounds on the phases of one run.
constexpr auto kSettleQuiet = 300ms;  // silence that ends the settling
constexpr auto kSettleLimit = 120s;
constexpr auto kGraceLimit = 10s;  // longest wait for late deliveries
constexpr auto kStopLimit = 30s;   // from SIGTERM to SIGKILL
constexpr int kMaxEvents = 1024;
// Sends an open-loop turn may make to catch up with its schedule before it
// reads again.
constexpr int kMaxSendsPerTurn = 256;

// A distinct loopback source address per client: zanthd keeps only one
// connection per address that has not sent its ident yet.
std::uint32_t SourceAddress(int index) {
  return (127u << 24) | (20u << 16) |
         (static_cast<std::uint32_t>(index / 250) << 8) |
         static_cast<std::uint32_t>(1 + index % 250);
}


}  // namespace

const char* ScenarioName(Scenario s) {
  switch (s) {
    case Scenario::kSat: return "sat";
    case Scenario::kLat: return "lat";
    case Scenario::kHold: return "hold";
    case Scenario::kScale: return "scale";
  }
  return "?";
}

const char* TargetName(Target t) {
  switch (t) {
    case Target::kZanthd: return "zanthd";
    case Target::kZanthdWeb: return "zanthd-ws";
    case Target::kRelay: return "relay";
    case Target::kNgircd: return "ngircd";
  }
  return "?";
}

// The IRC channel of room index r.
std::string ChannelName(int r) { return "#r" + std::to_string(r); }


Generator::Generator(const FanoutOptions& options, Target target, int clients,
                     int pid, std::uint16_t port)
    : options_(options),
      target_(target),
      pid_(pid),
      port_(port),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      events_(kMaxEvents) {
  result_.target = target;
  result_.clients = clients;
  const int room_count = std::min(options.rooms, clients);
  rooms_.resize(static_cast<std::size_t>(room_count));
  for (int r = 0; r < room_count; ++r)
    rooms_[static_cast<std::size_t>(r)].id = SiteLayout::RoomId(r);
  for (int i = 0; i < clients; ++i) {
    auto c = std::make_unique<Client>();
    c->index = i;
    c->room = i % room_count;
    Room& room = rooms_[static_cast<std::size_t>(c->room)];
    c->slot = static_cast<int>(room.members.size());
    room.members.push_back(i);
    clients_.push_back(std::move(c));
  }
  for (auto& c : clients_) {
    c->expect.assign(rooms_[static_cast<std::size_t>(c->room)].members.size(),
                     0);
  }
}

Generator::~Generator() {
  clients_.clear();  // closes the sockets, which leaves the epoll set
  if (epoll_ >= 0) ::close(epoll_);
}

void Generator::Interest(Client& c, bool write) {
  epoll_event event{};
  event.events = EPOLLIN | (write ? EPOLLOUT : 0u);
  event.data.u64 = static_cast<std::uint64_t>(c.index);
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.link.fd(), &event);
}

void Generator::StartConnect(Client& c, std::string* error) {
  std::mt19937 random(static_cast<unsigned>(c.index));
  auto seed = static_cast<std::uint8_t>(random() % 255);
  bool done = false;
  LoadLink::Mode mode = irc()                          ? LoadLink::Mode::kIrc
                        : target_ == Target::kZanthdWeb ? LoadLink::Mode::kWebSocket
                                                        : LoadLink::Mode::kChat;
  if (int rc = c.link.Connect(mode, SourceAddress(c.index), port_, seed, &done);
      rc != 0) {
    *error = "client " + std::to_string(c.index) +
             " could not connect: " + ResultText(rc);
    return;
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT;
  event.data.u64 = static_cast<std::uint64_t>(c.index);
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.link.fd(), &event) != 0) {
    *error = "epoll_ctl failed";
    return;
  }
  c.state = State::kConnecting;
  ++signing_on_;
  ++unheard_;
}

void Generator::End(Client& c) {
  if (c.state == State::kEnded) return;
  if (c.state == State::kConnecting || c.state == State::kSigningOn)
    --signing_on_;
  if (!c.heard && c.state != State::kIdle) --unheard_;
  c.state = State::kEnded;
  c.link.Close();
  ++result_.tally.lost_links;
}

void Generator::Serve(Client& c, std::uint32_t events, std::string* error) {
  if (c.state == State::kConnecting && (events & (EPOLLOUT | EPOLLERR))) {
    if (int rc = c.link.FinishConnect(); rc != 0) {
      *error = "client " + std::to_string(c.index) +
               " could not connect: " + ResultText(rc);
      End(c);
      return;
    }
    const std::string nick = "f" + std::to_string(c.index);
    int rc = 0;
    if (irc()) {
      rc = c.link.SendRaw("NICK " + nick + "\r\nUSER " + nick + " 0 * :" + nick +
                          "\r\nJOIN " + ChannelName(c.room) + "\r\n");
    } else {
      client::Ident ident;
      ident.nickname = nick;
      ident.room = static_cast<std::int16_t>(rooms_[static_cast<std::size_t>(c.room)].id);
      client::Payload payload = client::EncodeIdent(ident);
      // A browser link holds it until its handshake is answered.
      if (target_ == Target::kZanthdWeb) rc = c.link.Flush();
      if (rc == 0) rc = c.link.Send(client::kIdent, payload.data(), payload.size());
    }
    if (rc != 0) {
      *error = "client " + std::to_string(c.index) +
               " could not send its ident: " + ResultText(rc);
      End(c);
      return;
    }
    c.state = State::kSigningOn;
    Interest(c, c.link.wants_write());
    return;
  }
  if ((events & EPOLLOUT) && c.state != State::kEnded) {
    if (c.link.Flush() != 0) {
      End(c);
      return;
    }
    if (!c.link.wants_write()) Interest(c, false);
  }
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && c.state != State::kEnded) {
    current_ = &c;
    int link_error = 0;
    now_us_ = NowUs();
    if (c.link.Read(&scratch_, *this, &link_error) < 0) End(c);
    current_ = nullptr;
  }
}

long Generator::Poll(Clock::duration timeout, std::string* error) {
  timespec wait{};
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
  if (ns.count() > 0) {
    wait.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    wait.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  }
  int n = ::epoll_pwait2(epoll_, events_.data(), kMaxEvents, &wait, nullptr);
  for (int i = 0; i < n; ++i) {
    const epoll_event& event = events_[static_cast<std::size_t>(i)];
    Serve(*clients_[event.data.u64], event.events, error);
  }
  return n;
}

bool Generator::OnMessage(std::uint32_t type, const std::uint8_t* payload,
                          std::size_t size, bool /*compressed*/) {
  Client& c = *current_;
  if (!c.heard) {
    // Answered, so accepted: a place in the listen backlog is free again.
    c.heard = true;
    --unheard_;
  }
  if (irc()) {
    if (type == kIrcLine) {
      OnIrcLine(std::string_view(reinterpret_cast<const char*>(payload), size));
    }
    return true;
  }
  client::Bytes bytes(payload, size);
  if (type == client::kTalk) {
    OnTalk(payload, size);
  } else if (type == client::kUserCount) {
    std::uint16_t count = 0;
    if (client::DecodeU16(bytes, &count)) {
      const auto all = static_cast<std::uint16_t>(signed_on_);
      told_count_ += (count == all ? 1 : 0) - (c.user_count == all ? 1 : 0);
      c.user_count = count;
    }
  } else if (type == client::kYouAre) {
    (void)client::DecodeU32(bytes, &c.user_id);
  } else if (type == client::kRoomInfo) {
    client::RoomInfo info;
    if (client::DecodeRoomInfo(bytes, &info)) c.landed_room = info.id;
    ++result_.tally.other;
  } else if (type == client::kServerCaps && c.state == State::kSigningOn) {
    BecomeReady(c);
  } else {
    ++result_.tally.other;
  }
  return true;
}

void Generator::BecomeReady(Client& c) {
  c.state = State::kReady;
  --signing_on_;
  ++signed_on_;
}

// ":nick!user@host PRIVMSG #channel :text", ":server 366 nick #channel :..."
// (the end of the names list: the JOIN is done) and "PING :token".
void Generator::OnIrcLine(std::string_view line) {
  Client& c = *current_;
  if (line.starts_with("PING ")) {
    std::string pong = "PONG " + std::string(line.substr(5)) + "\r\n";
    if (c.link.SendRaw(pong) != 0) End(c);
    return;
  }
  std::string_view prefix;
  if (line.starts_with(":")) {
    std::size_t space = line.find(' ');
    prefix = line.substr(1, space == std::string_view::npos ? 0 : space - 1);
    line = space == std::string_view::npos ? "" : line.substr(space + 1);
  }
  if (line.starts_with("PRIVMSG ")) {
    std::size_t colon = line.find(" :");
    if (colon == std::string_view::npos) {
      ++result_.tally.foreign;
      return;
    }
    std::string_view channel = line.substr(8, colon - 8);
    std::string_view nick = prefix.substr(0, prefix.find('!'));
    Count(line.substr(colon + 2), [&](const Client& sender) {
      return nick == "f" + std::to_string(sender.index) &&
             channel == ChannelName(sender.room);
    });
    return;
  }
  if (line.starts_with("366 ") && c.state == State::kSigningOn) {
    BecomeReady(c);
    return;
  }
  ++result_.tally.other;
}

// A benchmark line reads "SENDER:SEQUENCE:STAMP:" and padding to the
// payload size (decimal; the stamp in microseconds from the generator's
// epoch).
void Generator::OnTalk(const std::uint8_t* payload, std::size_t size) {
  if (!client::DecodeSpeech(client::Bytes(payload, size), &speech_) ||
      speech_.speaker == 0) {
    ++result_.tally.foreign;
    return;
  }
  const std::uint32_t speaker = speech_.speaker;
  Count(speech_.text, [&](const Client& sender) { return sender.user_id == speaker; });
}

void Generator::Count(std::string_view text,
                      const std::function<bool(const Client&)>& speaker_ok) {
  Tally& t = result_.tally;
  const char* p = text.data();
  const char* end = p + text.size();
  std::uint64_t fields[3] = {};
  for (int f = 0; f < 3; ++f) {
    auto [next, ec] = std::from_chars(p, end, fields[f]);
    if (ec != std::errc() || next == end || *next != ':') {
      ++t.foreign;
      return;
    }
    p = next + 1;
  }
  if (fields[0] >= clients_.size()) {
    ++t.foreign;
    return;
  }
  Client& sender = *clients_[fields[0]];
  Client& receiver = *current_;
  if (!speaker_ok(sender) || sender.room != receiver.room) {
    ++t.misrouted;
    return;
  }
  const auto seq = static_cast<std::uint32_t>(fields[1]);
  std::uint32_t& expected =
      receiver.expect[static_cast<std::size_t>(sender.slot)];
  if (seq < expected) {
    ++t.duplicates;
    return;
  }
  // A gap: the lines skipped will never come (the link keeps order).
  for (; expected < seq; ++expected) {
    ++t.lost;
    Received(sender, expected);
  }
  ++expected;
  ++t.delivered;
  if (now_us_ <= window_end_us_) ++t.delivered_in_window;
  t.latency.Add(now_us_ - static_cast<std::int64_t>(fields[2]));
  Received(sender, seq);
}

void Generator::Received(Client& sender, std::uint32_t seq) {
  std::size_t at = seq - sender.pending_base;
  if (seq < sender.pending_base || at >= sender.pending.size()) return;
  --sender.pending[at];
  // Every receiver gets a sender's lines in order, so lines finish in order.
  while (!sender.pending.empty() && sender.pending.front() == 0) {
    sender.pending.pop_front();
    ++sender.pending_base;
    --in_flight_;
  }
}

void Generator::SendLine(Client& c, std::int64_t stamp_us) {
  char text[256];
  int length = std::snprintf(text, sizeof text, "%d:%" PRIu32 ":%" PRId64 ":",
                             c.index, c.next_seq, stamp_us);
  const int want = std::clamp(options_.payload, length, 250);
  std::memset(text + length, '.', static_cast<std::size_t>(want - length));
  length = want;
  std::string_view line(text, static_cast<std::size_t>(length));
  int rc = 0;
  if (irc()) {
    rc = c.link.SendRaw("PRIVMSG " + ChannelName(c.room) + " :" + std::string(line) + "\r\n");
  } else {
    client::Payload payload = client::EncodeText(line);
    rc = c.link.Send(client::kTalk, payload.data(), payload.size());
  }
  if (rc != 0) {
    End(c);
    return;
  }
  if (c.link.wants_write()) Interest(c, true);
  ++c.next_seq;
  ++result_.tally.sent;
  // An IRC server does not send a speaker its own line.
  std::size_t receivers = rooms_[static_cast<std::size_t>(c.room)].members.size();
  if (irc()) --receivers;
  if (receivers == 0 && c.pending.empty()) {
    ++c.pending_base;  // done at once
    return;
  }
  c.pending.push_back(static_cast<std::uint32_t>(receivers));
  ++in_flight_;
}

Client* Generator::NextSender() {
  for (std::size_t tries = 0; tries < clients_.size(); ++tries) {
    Client& c = *clients_[next_sender_];
    next_sender_ = (next_sender_ + 1) % clients_.size();
    if (c.state == State::kReady) return &c;
  }
  return nullptr;
}

bool Generator::SignOn(std::string* error) {
  if (epoll_ < 0) {
    *error = "epoll_create1 failed";
    return false;
  }
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(options_.signon_limit));
  const int n = static_cast<int>(clients_.size());
  // The memory a server needs once, whatever the number of clients (the
  // scrambling tables, buffers of the first connections), is taken with a
  // few clients signed on, and left out of the figure per client.
  if (options_.scenario == Scenario::kHold && n >= 20) {
    result_.warm_clients = std::clamp(n / 10, 1, 16);
    if (!SignOnUpTo(result_.warm_clients, deadline, error) || !Settle(error))
      return false;
    result_.rss_warm_kib = ProcessRssKiB(pid_);
  }
  {
    // hold profiles the sign-on, where its server's work is.
    Profiler profiler;
    if (options_.scenario == Scenario::kHold) StartProfile(&profiler);
    if (!SignOnUpTo(n, deadline, error)) return false;
  }
  if (zanthd()) {
    for (auto& c : clients_) {
      std::uint16_t wanted = rooms_[static_cast<std::size_t>(c->room)].id;
      if (c->landed_room != wanted) {
        *error = "client " + std::to_string(c->index) + " landed in room " +
                 std::to_string(c->landed_room) + ", not " +
                 std::to_string(wanted);
        return false;
      }
    }
  }
  if (!Settle(error)) return false;
  result_.rss_signed_on_kib = ProcessRssKiB(pid_);
  return true;
}

bool Generator::SignOnUpTo(int count, Clock::time_point deadline,
                           std::string* error) {
  const Clock::time_point start = Clock::now();
  while (signed_on_ < count) {
    if (Clock::now() >= deadline) {
      *error = "only " + std::to_string(signed_on_) + " of " +
               std::to_string(clients_.size()) + " clients signed on within " +
               std::to_string(options_.signon_limit) + " s";
      return false;
    }
    while (unheard_ < options_.connect_window &&
           next_connect_ < static_cast<std::size_t>(count) && error->empty()) {
      StartConnect(*clients_[next_connect_++], error);
    }
    (void)Poll(10ms, error);
    if (!error->empty()) return false;
    if (result_.tally.lost_links > 0) {
      *error = "a connection ended during sign-on";
      return false;
    }
  }
  result_.signon_s +=
      std::chrono::duration<double>(Clock::now() - start).count();
  return true;
}

bool Generator::Settle(std::string* error) {
  // Everybody already in a room has been told of the newcomers; let that
  // traffic end before the measurement.
  const Clock::time_point settle_end = Clock::now() + kSettleLimit;
  Clock::time_point last_read = Clock::now();
  // The user count changed with every sign-on; its broadcast to everyone is
  // sign-on traffic too, and comes up to 5 s after the last one.
  told_count_ = 0;
  for (const auto& c : clients_) {
    if (c->state == State::kReady && c->user_count == signed_on_) ++told_count_;
  }
  const bool await_count = zanthd();
  while (Clock::now() - last_read < kSettleQuiet ||
         (await_count && told_count_ < signed_on_)) {
    if (Clock::now() >= settle_end) {
      *error = "the sign-on traffic did not stop";
      return false;
    }
    if (Poll(20ms, error) > 0) last_read = Clock::now();
  }
  return true;
}

void Generator::StartProfile(Profiler* profiler) {
  if (options_.profile.empty()) return;
  const std::string path = options_.profile + "." + TargetName(target_) + "." +
                           std::to_string(clients_.size()) + ".data";
  if (!profiler->Start(pid_, path))
    std::fprintf(stderr, "fanout: perf did not start for %s\n", path.c_str());
}

void Generator::Idle() {
  const double cpu_start = ProcessCpuSeconds(pid_);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options_.seconds));
  std::string ignored;
  while (Clock::now() < end) (void)Poll(end - Clock::now(), &ignored);
  result_.window_s = std::chrono::duration<double>(Clock::now() - start).count();
  result_.server_cpu_s = ProcessCpuSeconds(pid_) - cpu_start;
}

void Generator::Load() {
  Tally& t = result_.tally;
  const bool closed_loop = options_.scenario == Scenario::kSat;
  // Open loop: the deliveries offered per second become lines per second at
  // the mean room size; line k goes out at start + k * interval from client
  // k mod N, so that every room gets its share.
  const double room_size = static_cast<double>(clients_.size()) /
                           static_cast<double>(rooms_.size());
  const double lines_per_s = options_.rate / room_size;
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / lines_per_s));
  const int window = options_.window > 0
                         ? options_.window
                         : 4 * static_cast<int>(clients_.size());
  if (closed_loop) {
    result_.window = window;
  } else {
    result_.offered = options_.rate;
  }
  std::string ignored;
  Profiler profiler;  // started before the window: perf takes a moment
  StartProfile(&profiler);
  const Clock::time_point start = Clock::now() + 20ms;
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options_.seconds));
  window_end_us_ = std::chrono::duration_cast<std::chrono::microseconds>(
                       end - epoch_)
                       .count();
  while (Clock::now() < start) (void)Poll(start - Clock::now(), &ignored);
  const double cpu_start = ProcessCpuSeconds(pid_);
  const double gen_cpu_start = SelfCpuSeconds();
  Clock::time_point next_send = start;
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    Clock::duration wait = end - now;
    if (closed_loop) {
      while (in_flight_ < static_cast<std::uint64_t>(window)) {
        Client* c = NextSender();
        if (c == nullptr) break;
        SendLine(*c, NowUs());
      }
      wait = std::min<Clock::duration>(wait, 10ms);
    } else {
      for (int n = 0; n < kMaxSendsPerTurn && next_send <= now; ++n) {
        Client* c = NextSender();
        if (c == nullptr) break;
        const auto stamp = std::chrono::duration_cast<std::chrono::microseconds>(
                               next_send - epoch_)
                               .count();
        SendLine(*c, stamp);
        t.send_lag.Add(std::chrono::duration_cast<std::chrono::microseconds>(
                           Clock::now() - next_send)
                           .count());
        next_send += interval;
      }
      wait = std::min(wait, std::max<Clock::duration>(next_send - Clock::now(),
                                                      Clock::duration::zero()));
    }
    (void)Poll(wait, &ignored);
  }
  result_.server_cpu_s = ProcessCpuSeconds(pid_) - cpu_start;
  result_.gen_cpu_s = SelfCpuSeconds() - gen_cpu_start;
  result_.window_s = std::chrono::duration<double>(end - start).count();
  profiler.Stop();
  // Late deliveries.
  const Clock::time_point grace_end = Clock::now() + kGraceLimit;
  while (in_flight_ > 0 && Clock::now() < grace_end)
    (void)Poll(grace_end - Clock::now(), &ignored);
  t.unfinished = in_flight_;
}

void Generator::Finish() { result_.rss_peak_kib = ProcessPeakRssKiB(pid_); }

// Starts the target, runs the scenario with n clients and stops the target.
RunResult RunOnce(const FanoutOptions& o, Target target, int n) {
  RunResult failed;
  failed.target = target;
  failed.clients = n;
  const int rooms = std::min(o.rooms, n);
  ServerProcess zanthd(o.zanthd);
  RelayProcess relay;
  NgircdProcess ngircd;
  int pid = -1;
  std::uint16_t port = 0;
  if (target == Target::kZanthd || target == Target::kZanthdWeb) {
    SiteLayout layout;
    layout.rooms = rooms;
    layout.capacity = (n + rooms - 1) / rooms + 16;
    zanthd.set_cpu(o.server_cpu);
    if (!zanthd.Start(layout, &failed.error)) return failed;
    pid = zanthd.pid();
    port = target == Target::kZanthd ? zanthd.chat_port() : zanthd.http_port();
  } else if (target == Target::kNgircd) {
    if (!ngircd.Start(o.ngircd, o.ngircd_conf, o.server_cpu, &failed.error)) return failed;
    pid = ngircd.pid();
    port = ngircd.port();
  } else {
    std::vector<std::string> args = {"--pass-limit",
                                     std::to_string(o.relay_pass_limit), "--buffer",
                                     std::to_string(o.relay_buffer)};
    if (!relay.Start(o.relay, args, o.server_cpu, &failed.error))
      return failed;
    pid = relay.pid();
    port = relay.chat_port();
  }
  const long rss_before = ProcessRssKiB(pid);
  Generator generator(o, target, n, pid, port);
  RunResult& r = generator.result();
  r.rss_before_kib = rss_before;
  if (!generator.SignOn(&r.error)) return r;
  if (o.scenario == Scenario::kHold) {
    generator.Idle();
  } else {
    generator.Load();
  }
  generator.Finish();
  if (target == Target::kNgircd) {
    r.stop_status = ngircd.Stop(kStopLimit);
  } else if (target == Target::kRelay) {
    r.stop_status = relay.Stop(kStopLimit);
  } else {
    r.stop_status = zanthd.Stop(kStopLimit);
  }
  r.ok = true;
  return r;
}


}  // namespace zanth::bench

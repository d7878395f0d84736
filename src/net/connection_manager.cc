// The connection manager and its poll pass.
#include "net/connection_manager.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "core/log.h"
#include "core/metrics.h"
#include "core/result.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace zanth::net {
namespace {

constexpr std::uint16_t kDefaultOutgoingPort = 12000;
// Accepts per listener per pass, and rounds of re-polling after accepts, so
// that a flood of connects cannot starve the connections already open.
constexpr int kMaxAcceptsPerListener = 256;
constexpr int kMaxAcceptRounds = 8;

// An address as the configuration gives it: dotted decimal when it starts
// with a digit, else a host name to resolve. 0, or kFailed when it names
// nothing.
int ParseAddress(const std::string& address, std::uint32_t* out) {
  if (!address.empty() && address[0] >= '0' && address[0] <= '9') {
    return platform::ParseIPv4(address, out) ? kOk : kFailed;
  }
  return platform::ResolveIPv4(address, out) == 0 ? kOk : kFailed;
}

}  // namespace

ConnectionManager::ConnectionManager() = default;

ConnectionManager::~ConnectionManager() {
  while (Connection* c = connections_.front()) {
    connections_.Remove(*c);
    Unschedule(*c);
    delete c;  // adopted from a unique_ptr in AddConnection
  }
  removed_.clear();
}

int ConnectionManager::ListenOn(const std::string& address, std::uint16_t port,
                                ConnectionHandler* handler, bool scrambled,
                                const std::string& listen_address, const TlsContext* tls) {
  std::uint32_t local = 0;
  std::uint32_t bound = 0;  // all interfaces
  std::string where = listen_address.empty() ? "0.0.0.0" : listen_address;
  std::string unknown;  // an address that names no host
  if (ParseAddress(address, &local) != 0) {
    unknown = address;
  } else if (!listen_address.empty() && ParseAddress(listen_address, &bound) != 0) {
    unknown = listen_address;
  }
  int rc = unknown.empty() ? kOk : kFailed;
  auto listener = std::make_unique<Listener>();
  if (rc == 0) rc = platform::Listen(bound, port, &listener->socket);
  if (rc == 0) rc = poller_.Add(listener->socket.fd(), platform::kReadable, listener.get());
  if (rc != 0) {
    std::string reason =
        unknown.empty() ? ResultText(rc) : "no such address or host name: " + unknown;
    listen_failure_ = FormatMessage("%s port %d: %s", where.c_str(), port, reason.c_str());
    if (unknown.empty()) {
      LogError(rc, "Unable to establish listening socket on %s port %d", where.c_str(), port);
    } else {
      LogError(0, "Unable to establish listening socket on %s", listen_failure_.c_str());
    }
    return rc;
  }
  local_address_ = local;
  last_listen_port_ = platform::LocalPort(listener->socket.fd());
  listener->handler = handler;
  listener->scrambled = scrambled;
  listener->tls = tls;
  if (tls != nullptr) ++tls_listeners_;
  platform::LockHold hold(listen_list_lock_);
  listeners_.insert(listeners_.begin(), std::move(listener));
  return kOk;
}

int ConnectionManager::ConnectTo(const std::string& host_spec,
                                 ConnectionHandler* handler, void* user_data,
                                 Connection** out) {
  std::string host = host_spec.substr(0, host_spec.find('/'));
  std::uint16_t port = kDefaultOutgoingPort;
  if (std::size_t colon = host.find(':'); colon != std::string::npos) {
    unsigned value = 0;
    for (std::size_t i = colon + 1; i < host.size() && host[i] >= '0' && host[i] <= '9'; ++i) {
      value = value * 10 + static_cast<unsigned>(host[i] - '0');
      if (value > 0xFFFF) break;
    }
    port = static_cast<std::uint16_t>(value);
    host.resize(colon);
  }
  LogDebug("looking up host %s", host.c_str());
  std::uint32_t address = 0;
  if (platform::ResolveIPv4(host, &address) != 0) {
    LogError(kFailed, "looking up host address");
    return kFailed;
  }
  LogDebug("destination address set");
  platform::Socket socket;
  bool in_progress = false;
  int rc = platform::ConnectNonBlocking(address, port, local_address_, &socket, &in_progress);
  if (rc != 0) {
    if (LogVerbose()) LogError(rc, "opening connection");
    return rc;
  }
  Connection* connection = AddConnection(std::move(socket), true);
  if (connection == nullptr) return kNoMemory;
  LogDebug("connection added to que");
  connection->handler_ = handler;
  connection->user_data = user_data;
  *out = connection;
  if (in_progress) {
    connection->connect_pending_ = true;
    connection->UpdateInterest();
  } else {
    LogDebug("connect immediate completion");
    handler->OnConnected(*connection);
  }
  return kOk;
}

Connection* ConnectionManager::AddConnection(platform::Socket socket, bool scrambled,
                                             const std::string* peer_address) {
  int fd = socket.fd();
  std::unique_ptr<Connection> record(
      new (std::nothrow) Connection(this, std::move(socket), scrambled, peer_address));
  if (record == nullptr) return nullptr;
  if (poller_.Add(fd, platform::kReadable, record.get()) != 0) return nullptr;
  record->interest_ = platform::kReadable;
  record->serial_ = ++serial_;
  Connection* connection = record.release();
  {
    platform::LockHold hold(connect_list_lock_);
    connections_.PushFront(*connection);
  }
  VerifyList();
  return connection;
}

Connection* ConnectionManager::AddDetached(const std::string& peer_address,
                                          ConnectionHandler* handler) {
  auto record = std::make_unique<Connection>(this, platform::Socket(), false);
  record->peer_address_ = peer_address;
  record->handler_ = handler;
  record->unwatched_ = true;  // not in the poller, so never removed from it
  Connection* connection = record.release();
  {
    platform::LockHold hold(connect_list_lock_);
    connections_.PushFront(*connection);
  }
  VerifyList();
  return connection;
}

void ConnectionManager::HandOver(Connection& connection, ConnectionHandler* handler,
                                 bool scrambled, std::unique_ptr<WebSocketLink> link) {
  connection.handler_ = handler;
  connection.user_data = nullptr;
  connection.scrambled_ = scrambled;
  connection.websocket_ = std::move(link);
  connection.is_new_ = true;
  connection.UpdateInterest();
  List(connection);  // its new owner's accept routine runs in the next pass
}

void ConnectionManager::RemoveConnection(Connection* connection) {
  if (connection == nullptr || !connections_.Contains(*connection) || connection->removed_) {
    return;
  }
  LogDebug("removing connection");
  LogDebug("closing connection");
  Unschedule(*connection);
  if (connection->read_due_) {
    std::erase(read_due_, connection);
    connection->read_due_ = false;
  }
  // Out of the poller first: a close alone leaves the registration (and its
  // pointer to this record) in place while another process holds the
  // descriptor, as a child does between its fork and its exec. The close
  // returns at once (connections have no linger time): the system still
  // delivers what the socket holds, then ends the connection.
  if (connection->socket_.valid() && !connection->unwatched_) {
    (void)poller_.Remove(connection->socket_.fd());
  }
  connection->socket_.Close();
  connection->removed_ = true;
  std::unique_ptr<Connection> record(connection);
  if (connection->listed_ && !in_pass_) {
    // Listed between passes (a hand-over): the next pass must not meet it.
    std::erase(ready_list_, connection);
    connection->listed_ = false;
  }
  if (in_pass_) {
    // Freed after the pass, so that the pass never steps onto freed memory.
    removed_.push_back(std::move(record));
    return;
  }
  {
    platform::LockHold hold(connect_list_lock_);
    connections_.Remove(*connection);
  }
  LogDebug("connection removed");
  VerifyList();
}

void ConnectionManager::ReapRemoved() {
  if (removed_.empty()) return;
  {
    platform::LockHold hold(connect_list_lock_);
    for (auto& record : removed_) connections_.Remove(*record);
  }
  removed_.clear();
  LogDebug("connection removed");
  VerifyList();
}

void ConnectionManager::VerifyList() {
  if (LogVerbose() && !connections_.Verify()) {
    Log(nullptr, "debug", "Network connect list failed verify");
  }
}

void ConnectionManager::PrepareExit() {
  for (Connection& c : connections_) {
    if (c.socket_.valid()) platform::StopLingering(c.fd());
  }
}

int ConnectionManager::WatchWakeDescriptor(int fd) {
  return poller_.Add(fd, platform::kReadable, &wake_token_);
}

int ConnectionManager::AcceptBurst(Listener& listener, bool* accepted) {
  for (int i = 0; i < kMaxAcceptsPerListener; ++i) {
    LogDebug("Accepting connection");
    platform::Socket socket;
    std::string peer;
    int rc = platform::Accept(listener.socket, &socket, &peer);
    if (rc == EAGAIN) return kOk;
    if (rc == EMFILE || rc == ENFILE) {
      // Out of descriptors: use the spare one to take the connection off the
      // queue and close it, rather than leave the listener ready for ever.
      spare_.Release();
      platform::Socket refused;
      if (platform::Accept(listener.socket, &refused) == 0) refused.Close();
      spare_.Open();
      LogError(rc, "accepting connection");
      return rc;
    }
    if (rc != 0) {
      LogError(rc, "accepting connection");
      return rc;
    }
    Connection* connection = AddConnection(std::move(socket), listener.scrambled, &peer);
    if (connection == nullptr) {
      LogError(kNoMemory, "accepting connection");
      return kNoMemory;  // the socket was closed with its record
    }
    if (listener.tls != nullptr) {
      connection->tls_ = listener.tls->NewEngine(platform::GetClock().NowSeconds());
      if (connection->tls_ == nullptr) {
        LogError(kNoMemory, "starting TLS for a connection from %s", peer.c_str());
        RemoveConnection(connection);
        continue;
      }
    }
    connection->handler_ = listener.handler;
    connection->is_new_ = true;
    List(*connection);
    *accepted = true;
  }
  return kOk;
}

int ConnectionManager::Poll(int timeout_ms) {
  ReapRemoved();
  int last_error = 0;
  bool any_event = false;
  // Work already waiting is not held up for the tick.
  if (!ready_list_.empty() || !send_fresh_.empty() || !send_backlog_.empty() ||
      !read_due_.empty()) {
    timeout_ms = 0;
  }
  for (int round = 0; round < kMaxAcceptRounds; ++round) {
    int error = 0;
    int n = poller_.Wait(round == 0 ? timeout_ms : 0, &events_, &error);
    if (n < 0) {
      if (error == EINTR) {
        LogDebug("select interupted");
        continue;
      }
      return error;
    }
    if (n == 0) break;
    any_event = true;
    // Level-triggered: each round reports every connection still ready.
    for (Connection* c : ready_list_) c->ready_ = 0;
    bool accepted = false;
    for (const platform::Poller::Event& event : events_) {
      if (event.token == &wake_token_) continue;
      bool is_listener = false;
      for (auto& listener : listeners_) {
        if (listener.get() == event.token) {
          is_listener = true;
          int rc = AcceptBurst(*listener, &accepted);
          if (rc != 0) last_error = rc;
          break;
        }
      }
      if (!is_listener) {
        auto* c = static_cast<Connection*>(event.token);
        c->ready_ = event.flags;
        List(*c);
      }
    }
    // After a burst of accepts, look again before touching any data.
    if (!accepted) break;
  }
  for (Connection* c : read_due_) {
    c->read_due_ = false;
    c->ready_ |= platform::kReadable;
    List(*c);
  }
  read_due_.clear();
  ChooseSenders();
  ReleaseMemoryWhenQuiet();
  CheckHandshakeDeadlines();
  if (!any_event && ready_list_.empty()) return last_error;
  ServeReady(&last_error);
  return last_error;
}

int ConnectionManager::SendPass() {
  int last_error = 0;
  ChooseSenders();
  if (!ready_list_.empty()) ServeReady(&last_error);
  return last_error;
}

void ConnectionManager::SendNow(Connection& c) {
  if (in_pass_ || c.removed_ || c.closing_ || c.send_blocked_ || c.connect_pending_ ||
      !c.wants_send()) {
    return;
  }
  int error = 0;
  long n = c.tls_ != nullptr ? c.SendTls(&error) : c.SendQueued(&error);
  if (n > 0) GetMetrics().bytes_sent += static_cast<std::uint64_t>(n);
  c.UpdateInterest();
}

void ConnectionManager::ServeReady(int* last_error) {
  // Only connections with an event, a pending accept routine or a send due
  // have work; they are served newest first, as the connection list runs.
  std::sort(ready_list_.begin(), ready_list_.end(),
            [](const Connection* a, const Connection* b) { return a->serial_ > b->serial_; });
  in_pass_ = true;
  for (Connection* connection : ready_list_) {
    connection->listed_ = false;
    if (!connection->removed_) ProcessConnection(*connection, last_error);
  }
  ready_list_.clear();
  // A connection accepted in this pass is read at its end, once every
  // accept routine has run: its first bytes (a request, a TLS hello) have
  // mostly come with it, and asking the poller first would cost a round.
  for (Connection* connection : accepted_in_pass_) {
    if (connection->removed_ || connection->closing_) continue;
    connection->ready_ = platform::kReadable;
    ProcessConnection(*connection, last_error);
  }
  accepted_in_pass_.clear();
  in_pass_ = false;
  ReapRemoved();
}

void ConnectionManager::ReleaseMemoryWhenQuiet() {
  std::uint32_t now = platform::GetClock().TickMs();
  if (!send_fresh_.empty() || !send_backlog_.empty() || !ready_list_.empty()) last_busy_ms_ = now;
  // A burst is over (sign-ons into a crowded room queue tens of kilobytes
  // per newcomer, a broadcast to everybody a block per connection): idle
  // connections should not keep its memory resident. Not while the traffic
  // goes on, though: memory given back is faulted in again at once, page
  // by page, so then only every kReleaseEveryMs.
  bool quiet = now - last_busy_ms_ >= kQuietBeforeReleaseMs;
  if (quiet ? released_bytes_ < kReleaseWhenQuiet
            : released_bytes_ < kReleaseAfter || now - last_release_ms_ < kReleaseEveryMs) {
    return;
  }
  pool_.ReleaseFree();
  platform::ReleaseFreeMemory();
  released_bytes_ = 0;
  last_release_ms_ = now;
}

void ConnectionManager::List(Connection& connection) {
  if (connection.listed_) return;
  connection.listed_ = true;
  ready_list_.push_back(&connection);
}

void ConnectionManager::Schedule(Connection& connection) {
  // One due in this pass is placed once its send is done.
  if (connection.send_due_ || connection.send_link_.linked()) return;
  send_fresh_.PushBack(connection);
}

void ConnectionManager::Unschedule(Connection& connection) {
  if (send_fresh_.Contains(connection)) send_fresh_.Remove(connection);
  if (send_backlog_.Contains(connection)) send_backlog_.Remove(connection);
}

void ConnectionManager::ScheduleRead(Connection& connection) {
  if (connection.read_due_) return;
  connection.read_due_ = true;
  read_due_.push_back(&connection);
}

void ConnectionManager::CheckHandshakeDeadlines() {
  if (tls_listeners_ == 0) return;
  std::int64_t now = platform::GetClock().NowSeconds();
  if (now == last_deadline_check_) return;
  last_deadline_check_ = now;
  // A walk over every connection once a second costs less than keeping a
  // list of the handshakes under way, which would cost every connection a
  // link and every handshake two list updates.
  bool in_pass = in_pass_;
  in_pass_ = true;  // a connection removed by its owner is freed after the walk
  for (Connection& c : connections_) {
    if (c.tls_ == nullptr || c.tls_->handshake_done() || c.closing_ || c.removed_ || c.is_new_) {
      continue;
    }
    if (c.tls_->CheckDeadline(now)) LoseTls(c);
  }
  in_pass_ = in_pass;
}

void ConnectionManager::ChooseSenders() {
  // The backlog keeps a quarter of the budget while it has work, so that a
  // stream of fresh queues cannot starve it; fresh queues get the rest.
  std::size_t reserve = std::min(send_backlog_.size(), (sends_per_pass_ + 3) / 4);
  std::size_t budget = sends_per_pass_ - reserve;
  while (Connection* c = send_fresh_.front()) {
    send_fresh_.Remove(*c);
    if (budget == 0) {
      // Behind those already waiting: the next pass's fresh ones go first.
      send_backlog_.PushBack(*c);
      continue;
    }
    --budget;
    c->send_due_ = true;
    List(*c);
  }
  for (budget += reserve; budget > 0; --budget) {
    Connection* c = send_backlog_.front();
    if (c == nullptr) break;
    send_backlog_.Remove(*c);
    c->send_due_ = true;
    List(*c);
  }
}

void ConnectionManager::ProcessConnection(Connection& c, int* last_error) {
  ServeConnection(c, last_error);
  bool due = c.send_due_;
  c.send_due_ = false;
  if (c.removed_ || c.closing_) return;
  // One that was due and has more goes to the back of the backlog; any
  // other with bytes to send is scheduled as fresh by the interest update.
  if (due && c.wants_send() && !c.send_blocked_) send_backlog_.PushBack(c);
  c.UpdateInterest();
}

void ConnectionManager::ServeConnection(Connection& c, int* last_error) {
  std::uint32_t ready = c.ready_;
  c.ready_ = 0;
  if (c.is_new_) {
    c.is_new_ = false;
    if (c.handler_->OnAccept(c) != 0) {
      // Without its owner's record the connection could never be served.
      RemoveConnection(&c);
    } else {
      accepted_in_pass_.push_back(&c);
    }
    return;  // read at the end of the pass
  }
  if ((ready & (platform::kReadable | platform::kHangup)) && !c.closing_ && !c.input_full()) {
    if (!Receive(c, last_error)) return;
  }
  // A TLS handshake's reply goes in the pass that read what it answers.
  bool tls_reply = c.tls_ != nullptr && c.tls_->output_size() > 0 && !c.send_blocked_;
  if (((ready & platform::kWritable) || c.send_due_ || tls_reply) && !c.removed_) {
    if (c.connect_pending_) {
      LogDebug("opening connection send set");
      c.connect_pending_ = false;
      int error = platform::PendingError(c.fd());
      if (error != 0) {
        if (LogVerbose()) LogError(error, "opening connection");
        *last_error = error;
        Lose(c);
        return;
      }
      c.handler_->OnConnected(c);
      if (c.removed_) return;
    }
    bool work = c.tls_ != nullptr ? c.wants_send() : c.queued() > 0 || c.file_left_ > 0;
    if (work && !c.closing_) {
      int error = 0;
      long n = c.tls_ != nullptr ? c.SendTls(&error) : c.SendQueued(&error);
      if (n > 0) GetMetrics().bytes_sent += static_cast<std::uint64_t>(n);
      if (c.tls_ != nullptr && c.tls_->failed()) {
        LoseTls(c);
        return;
      }
      if (n < 0 && !platform::IsWouldBlock(error)) {
        if (error != ECONNRESET && error != EPIPE) {
          LogError(error, "Connection lost, closing route");
          *last_error = error;
        }
        Lose(c);
        return;
      }
      if (c.websocket_ != nullptr && c.websocket_->finished() &&
          (c.tls_ == nullptr || c.tls_->output_size() == 0)) {
        // The close handshake is done; the connection ends like a lost one.
        Lose(c);
        return;
      }
    }
    if (c.close_when_flushed_ && c.flushed() && !c.removed_) {
      ConnectionHandler* handler = c.handler_;
      RemoveConnection(&c);
      if (handler != nullptr) handler->OnRemoved(c);  // still allocated until the reap
    }
  }
}

bool ConnectionManager::Receive(Connection& c, int* last_error) {
  int error = 0;
  bool ended = false;
  std::size_t held = c.in_count();
  long n = c.tls_ != nullptr ? c.ReceiveTls(&error, &ended) : c.ReceiveOnce(&error);
  if (n > 0) GetMetrics().bytes_received += static_cast<std::uint64_t>(n);
  if (c.tls_ != nullptr && c.tls_->failed()) {
    LoseTls(c);
    return false;
  }
  if (c.tls_ == nullptr) {
    if (n < 0 && platform::IsWouldBlock(error)) return true;  // nothing to read after all
    ended = n == 0;
  }
  if (n < 0) {
    if (error != ECONNRESET) {
      LogError(error, "receiving from connection");
      *last_error = error;
    }
    Lose(c);
    return false;
  }
  if (c.websocket_ != nullptr && c.websocket_->failed()) {
    LoseLink(c);
    return false;
  }
  if (n > 0 || c.in_count() != held) {
    c.UpdateInterest();
    c.handler_->OnReceived(c);
    if (c.removed_) return false;
  }
  if (ended) {
    if (!c.peer_closed_ && c.handler_ != nullptr && c.handler_->OnPeerClosed(c)) {
      // The peer said all it will say; what is queued for it still goes.
      c.peer_closed_ = true;
      c.UpdateInterest();
    } else {
      // Otherwise an orderly close ends the connection like an error does.
      Lose(c);
      return false;
    }
  }
  return true;
}

void ConnectionManager::LoseLink(Connection& c) {
  ++GetMetrics().dropped_bad_data;
  // The rest of a started frame, a pong, the close frame, as far as the
  // socket takes them now.
  int error = 0;
  long n = c.tls_ != nullptr ? c.SendTls(&error) : c.SendFrames(&error);
  if (n > 0) GetMetrics().bytes_sent += static_cast<std::uint64_t>(n);
  Lose(c);
}

void ConnectionManager::LoseTls(Connection& c) {
  TlsEngine& engine = *c.tls_;
  // A record that does not decrypt on an open connection is bad data; a
  // failed handshake the engine has counted already.
  if (engine.handshake_done()) ++GetMetrics().dropped_bad_data;
  if (engine.output_size() > 0 && c.socket_.valid()) {
    // The alert that tells the peer why, if the socket takes it now.
    int error = 0;
    long n = platform::Send(c.fd(), engine.output(), engine.output_size(), &error);
    if (n > 0) GetMetrics().bytes_sent += static_cast<std::uint64_t>(n);
  }
  Log(nullptr, "HTTPS", "%s %s", c.peer_address_.c_str(), engine.error().c_str());
  Lose(c);
}

void ConnectionManager::Lose(Connection& c) {
  c.MarkClosing();
  LogDebug("calling kill connection routine");
  if (c.close_when_flushed_) {
    // Its owner gave it up when it asked for the close, so only the manager
    // can remove it.
    ConnectionHandler* handler = c.handler_;
    RemoveConnection(&c);
    if (handler != nullptr) handler->OnRemoved(c);
    return;
  }
  if (c.handler_ != nullptr) c.handler_->OnLost(c);
}

}  // namespace zanth::net

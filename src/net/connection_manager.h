// The connection manager: listening sockets, accepted and outgoing
// connections, and the poll pass that accepts, receives (descrambling,
// decrypting) and sends (scrambled, encrypted) for all of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/intrusive_list.h"
#include "net/connection.h"
#include "platform/socket.h"
#include "platform/threads.h"

namespace zanth::net {

class ConnectionManager {
 public:
  ConnectionManager();
  ~ConnectionManager();
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // Listens on port (REQUIRES: not 0) on
  // listen_address when one is given, else on all interfaces. address is
  // the site's own address: it is remembered as the local address of
  // outgoing connections. Both are dotted decimal, or a name that is
  // resolved. Connections accepted here get handler and the scrambled flag.
  // With tls (not owned; it must outlive the manager) every connection
  // speaks TLS: its engine comes from tls's pair of the moment, and its
  // handshake runs inside the passes; one that is not done within
  // kTlsHandshakeSeconds, or fails, is lost with a log line.
  // On failure logs "Unable to establish listening socket on ADDRESS port
  // PORT" with the reason, keeps "ADDRESS port PORT: REASON" for
  // listen_failure(), and returns the error (kFailed for an address that
  // names nothing).
  [[nodiscard]] int ListenOn(const std::string& address, std::uint16_t port,
                             ConnectionHandler* handler, bool scrambled,
                             const std::string& listen_address = "",
                             const TlsContext* tls = nullptr);
  // What the last failed ListenOn could not do, and why.
  const std::string& listen_failure() const { return listen_failure_; }
  // The port the most recent listener is bound to.
  std::uint16_t last_listen_port() const { return last_listen_port_; }

  // Opens a scrambled outgoing connection to "host[:port][/anything]"
  // (default port 12000). handler->OnConnected runs once it is established.
  // Returns 0 with *out set, or the error (-1 when the host is unknown).
  [[nodiscard]] int ConnectTo(const std::string& host_spec,
                              ConnectionHandler* handler, void* user_data,
                              Connection** out);

  // Waits up to timeout_ms for readiness, then makes one pass over every
  // socket: a burst of accepts first, then per connection (newest first) the
  // pending accept routine, at most one receive and one turn of sends of at
  // most kMaxSendPerPass bytes; a connection accepted in the pass is read
  // at its end, after every accept routine.
  // Returns the last error seen, 0 if none.
  int Poll(int timeout_ms);
  // A pass of sends only, without asking the poller: what was queued since
  // the last pass goes out now (within the same budget as in Poll), rather
  // than after the next wait. Returns the last error seen, 0 if none.
  int SendPass();
  // Sends what connection has queued now, between passes, as far as its
  // socket takes it (at most kMaxSendPerPass bytes): for an answer that
  // should not wait for the work that follows it in the round. What is
  // left, a failure and a close when flushed are the next pass's, as for
  // any queue.
  void SendNow(Connection& connection);

  // Adopts a connection that has no socket: it is never polled, receives
  // nothing, and keeps whatever is queued to it until it is removed. Lets a
  // caller drive a handler's sessions inside the process (the fuzz
  // harnesses). The caller runs handler->OnAccept itself.
  Connection* AddDetached(const std::string& peer_address, ConnectionHandler* handler);

  // Gives an accepted connection to another handler, as if that handler's
  // listener had just accepted it: handler->OnAccept runs in the next pass,
  // with the scrambled flag given. With a link, the connection carries its
  // stream in WebSocket frames from now on, after the link's handshake
  // reply. A TLS connection stays one. REQUIRES: no input is waiting in the
  // connection.
  void HandOver(Connection& connection, ConnectionHandler* handler, bool scrambled,
                std::unique_ptr<WebSocketLink> link);

  // Unlinks, closes and frees connection. Inside a pass the record is freed
  // after the pass. A second call for the same record does nothing.
  void RemoveConnection(Connection* connection);

  // Makes every later close return at once: at the end of the process no
  // connection may hold it up for its linger time.
  void PrepareExit();

  // Watches an extra descriptor (a quit signal pipe) so that Poll wakes for
  // it; it is not read here.
  int WatchWakeDescriptor(int fd);

  // Sends per pass, all connections together (kSendsPerPass unless set).
  void set_sends_per_pass(std::size_t sends) { sends_per_pass_ = sends > 0 ? sends : 1; }

  const IntrusiveList<Connection, &Connection::link_>& connections() const {
    return connections_;
  }
  std::size_t connection_count() const { return connections_.size(); }

 private:
  friend class Connection;

  struct Listener {
    platform::Socket socket;
    ConnectionHandler* handler;
    bool scrambled;
    const TlsContext* tls;
  };

  int AcceptBurst(Listener& listener, bool* accepted);
  Connection* AddConnection(platform::Socket socket, bool scrambled,
                            const std::string* peer_address = nullptr);
  void ProcessConnection(Connection& connection, int* last_error);
  // Serves the ready list (newest first), then reads the connections
  // accepted in the pass, and frees what the pass removed.
  void ServeReady(int* last_error);
  // One receive, and what it tells the owner. Returns false when the
  // connection was lost (the caller then touches nothing more).
  bool Receive(Connection& connection, int* last_error);
  // The pending accept routine, one receive, and one turn of sends when the
  // poller reported the socket writable or the pass chose it to send.
  void ServeConnection(Connection& connection, int* last_error);
  // Adds connection to this pass's ready list, once.
  void List(Connection& connection);
  // Puts a connection with bytes to send in the fresh list, unless it is in
  // a send list already; takes it out of both.
  void Schedule(Connection& connection);
  void Unschedule(Connection& connection);
  // Has the connection read in the next pass whatever the poller says.
  void ScheduleRead(Connection& connection);
  // Lists the connections that send in this pass: those whose queue filled
  // since the last pass first, then those still sending from earlier passes,
  // sends_per_pass_ in all, at least a quarter of it for the backlog.
  void ChooseSenders();
  void Lose(Connection& connection);
  // A WebSocket protocol error: one attempt to send what the link holds,
  // the close frame included, then the connection is lost.
  void LoseLink(Connection& connection);
  // A TLS engine failed (a handshake that is no TLS, or too slow; a record
  // that does not decrypt): one attempt to send its alert, one log line
  // with the peer and the reason, then the connection is lost.
  void LoseTls(Connection& connection);
  // At most once a second: loses the connections whose TLS handshake has
  // run past its deadline.
  void CheckHandshakeDeadlines();
  void ReapRemoved();
  void VerifyList();
  // Gives freed output blocks back to the system once kReleaseAfter bytes
  // were freed and the sends have been quiet for a moment (or at the
  // latest every kReleaseEveryMs).
  void ReleaseMemoryWhenQuiet();

  // Output blocks of every connection; declared first, so that it outlives
  // the connections that give their blocks back.
  BlockPool pool_;
  platform::Poller poller_;
  platform::NamedLock connect_list_lock_{"ConnectListMutex"};
  platform::NamedLock listen_list_lock_{"ListenListMutex"};
  // Owns its records: a record is adopted from a unique_ptr when linked and
  // handed back to one when unlinked.
  IntrusiveList<Connection, &Connection::link_> connections_;
  std::vector<std::unique_ptr<Listener>> listeners_;  // newest first
  std::vector<std::unique_ptr<Connection>> removed_;
  std::vector<platform::Poller::Event> events_;
  // The connections with an event, a pending accept routine or a send due
  // in this pass.
  std::vector<Connection*> ready_list_;
  // Connections whose accept routine ran in this pass: read once more at
  // its end.
  std::vector<Connection*> accepted_in_pass_;
  // Connections that read in the next pass (ScheduleRead).
  std::vector<Connection*> read_due_;
  std::size_t tls_listeners_ = 0;
  std::int64_t last_deadline_check_ = 0;  // platform clock seconds
  // Connections with bytes to send and a socket that took the last ones:
  // those that had nothing queued at the last pass, and those that sent in
  // an earlier pass and have more (in the order they sent).
  IntrusiveList<Connection, &Connection::send_link_> send_fresh_;
  IntrusiveList<Connection, &Connection::send_link_> send_backlog_;
  std::uint64_t serial_ = 0;
  std::size_t sends_per_pass_ = kSendsPerPass;
  // Output block bytes freed since memory was last given back, and when
  // that was; when the last pass had anything to send.
  std::size_t released_bytes_ = 0;
  std::uint32_t last_release_ms_ = 0;
  std::uint32_t last_busy_ms_ = 0;
  platform::SpareDescriptor spare_;
  std::uint32_t local_address_ = 0;
  std::uint16_t last_listen_port_ = 0;
  std::string listen_failure_;
  char wake_token_ = 0;  // its address marks the wake descriptor's events
  bool in_pass_ = false;
};

}  // namespace zanth::net

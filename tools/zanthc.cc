// zanthc: the command-line chat client. Interactive, it signs on, shows the
// room's talk, whispers, arrivals and notices, and sends what is typed.
// Scripted (--say, --expect), it lets a site owner check a server from a
// shell: say lines, wait for a text, and exit 0 when it came. Signed on to
// an account with the "Server console" privilege it manages the accounts.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/chat_client.h"
#include "client/decode.h"
#include "client/records.h"
#include "core/result.h"
#include "platform/socket.h"
#include "wire/framing.h"
#include "zanthc_accounts.h"

namespace zanth::tools {
namespace {

using namespace std::chrono_literals;
using client::ChatClient;
using client::Message;
using wire::TypeCode;
using Clock = std::chrono::steady_clock;

// Messages a room entry starts with, and the ones this client shows.
constexpr std::uint32_t kRoomText = TypeCode("Room");
constexpr std::uint32_t kRoomInfo = TypeCode("RmIn");
constexpr std::uint32_t kOccupants = TypeCode("RmOc");
constexpr std::uint32_t kEntered = TypeCode("RmEn");
constexpr std::uint32_t kLeft = TypeCode("RmLv");
constexpr std::uint32_t kTalk = TypeCode("Talk");
constexpr std::uint32_t kWhisper = TypeCode("xTlk");
constexpr std::uint32_t kCrossWhisper = TypeCode("CrTk");
constexpr std::uint32_t kListLine = TypeCode("LMsg");
constexpr std::uint32_t kRoomList = TypeCode("Rmls");
constexpr std::uint32_t kUserList = TypeCode("Ulls");
constexpr std::uint32_t kNameChange = TypeCode("Name");
constexpr std::uint32_t kKill = TypeCode("Kill");

// Bounds on the main loop: how long one wait for input lasts, how many
// messages are shown per turn, and how long to wait for the echoes of the
// last lines after input ends.
constexpr int kInputWaitMs = 25;
constexpr int kMaxMessagesPerTurn = 2000;
constexpr auto kEchoWait = 3s;

// The server commands that act on the whisper's targets, which are only
// given to them when the command line travels as a whisper.
constexpr std::string_view kTargetCommands[] = {
    "kill",    "pin",       "unpin",   "gag",  "ungag",  "propgag", "unpropgag",
    "namegag", "unnamegag", "timeout", "release", "mute", "unmute", "giveprop"};

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 12005;
  std::string name;
  std::string account;
  std::string password;
  std::int16_t room = 0;
  std::string bind;
  double linger_seconds = 0;
  std::vector<std::string> say;     // scripted lines, sent after sign-on
  std::vector<std::string> expect;  // texts to wait for, in any order
  double timeout_seconds = 10;
  bool scripted() const { return !say.empty() || !expect.empty(); }
};

const char kUsage[] =
    "usage: zanthc [options] [HOST[:PORT]]        (default 127.0.0.1:12005)\n"
    "  --name NICK          the nickname (default: $USER)\n"
    "  --account NAME       sign on to an account ...\n"
    "  --password PASS      ... with this password\n"
    "  --room ID            the room to enter first\n"
    "  --host HOST          the server's host, as HOST above\n"
    "  --port PORT          the server's chat port, as PORT above\n"
    "  --bind ADDR          the local address to connect from\n"
    "  --say TEXT           type TEXT after signing on (repeatable; no typing)\n"
    "  --expect TEXT        wait until a shown line holds TEXT (repeatable)\n"
    "  --timeout S          how long --expect waits (default 10)\n"
    "  --linger S           keep showing messages S seconds after the last line\n"
    "                       (of --say, or of the input), e.g. a command's answer\n"
    "  --version            print the version and exit\n"
    "  --help               print this text and exit\n"
    "Lines, typed or given with --say:\n"
    "  TEXT                 say TEXT in the room\n"
    "  'COMMAND             run a server command ('help lists them)\n"
    "  /w NAME [TEXT]       whisper TEXT to NAME; NAME becomes the whisper target\n"
    "  /w                   forget the whisper target\n"
    "  'gag, 'kill, ...     moderation commands act on the whisper target:\n"
    "                       first /w NAME, then 'gag (also 'pin, 'timeout, 'mute,\n"
    "                       their undoing twins, 'propgag, 'namegag, 'giveprop)\n"
    "  /go ROOM             go to a room (an id or a name)\n"
    "  /rooms, /who         list the rooms, the people\n"
    "  /accounts            list the site's accounts (needs Server console)\n"
    "  /account add NAME GROUP PASSWORD     add an account\n"
    "  /account password NAME PASSWORD      change its password\n"
    "  /account group NAME GROUP            change its group (a name or number)\n"
    "  /account delete NAME                 delete it\n"
    "  /quit                leave (so does the end of the input)\n"
    "Exit status: 0 when done; 1 when the host cannot be resolved or reached,\n"
    "sign-on fails, the server ends the connection, an --expect text is not\n"
    "shown or an account command fails; 2 for bad options.\n";

// Server text goes to a terminal; control bytes are shown as '?' so that no
// peer can steer it.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

// Texts a scripted run still waits for; every printed line is checked.
std::vector<std::string> g_expected;

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  std::erase_if(g_expected,
                [&line](const std::string& text) { return line.find(text) != std::string::npos; });
}

bool ParseNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
    return false;
  *out = value;
  return true;
}

// HOST or HOST:PORT.
bool ParseServer(std::string_view arg, Options* o) {
  std::string_view host = arg;
  if (std::size_t colon = arg.rfind(':'); colon != std::string_view::npos) {
    long port = 0;
    if (!ParseNumber(std::string(arg.substr(colon + 1)).c_str(), 1, 65535, &port)) return false;
    o->port = static_cast<std::uint16_t>(port);
    host = arg.substr(0, colon);
  }
  if (host.empty()) return false;
  o->host = std::string(host);
  return true;
}

enum class Parsed { kRun, kHelp, kVersion, kBad };

Parsed ParseOptions(int argc, char** argv, Options* o) {
  if (const char* user = std::getenv("USER"); user != nullptr) o->name = user;
  if (o->name.empty()) o->name = "guest";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help") return Parsed::kHelp;
    if (arg == "--version") return Parsed::kVersion;
    if (!arg.starts_with("--")) {
      if (!ParseServer(arg, o)) {
        std::fprintf(stderr, "zanthc: not a HOST or HOST:PORT: %s\n", argv[i]);
        return Parsed::kBad;
      }
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "zanthc: %s needs a value (or is unknown)\n", argv[i]);
      return Parsed::kBad;
    }
    const char* value = argv[++i];
    long number = 0;
    if (arg == "--host") {
      o->host = value;
    } else if (arg == "--port" && ParseNumber(value, 1, 65535, &number)) {
      o->port = static_cast<std::uint16_t>(number);
    } else if (arg == "--name") {
      o->name = value;
    } else if (arg == "--account") {
      o->account = value;
    } else if (arg == "--password") {
      o->password = value;
    } else if (arg == "--room" && ParseNumber(value, -1, 32767, &number)) {
      o->room = static_cast<std::int16_t>(number);
    } else if (arg == "--bind") {
      o->bind = value;
    } else if (arg == "--linger" && ParseNumber(value, 0, 86400, &number)) {
      o->linger_seconds = static_cast<double>(number);
    } else if (arg == "--say") {
      o->say.emplace_back(value);
    } else if (arg == "--expect") {
      o->expect.emplace_back(value);
    } else if (arg == "--timeout" && ParseNumber(value, 1, 86400, &number)) {
      o->timeout_seconds = static_cast<double>(number);
    } else {
      std::fprintf(stderr, "zanthc: unknown option or bad value: %s %s\n", argv[i - 1], value);
      return Parsed::kBad;
    }
  }
  return Parsed::kRun;
}

// The server keeps one not-yet-identified connection per peer address, so
// clients started together on one machine connect from addresses of their
// own in 127.0.0.0/8 when they talk to a loopback server.
std::string LoopbackSourceAddress() {
  std::random_device seed;
  std::uniform_int_distribution<int> byte(1, 254);
  return "127." + std::to_string(byte(seed)) + "." + std::to_string(byte(seed)) + "." +
         std::to_string(byte(seed));
}

// What the client knows of the room it is in and of the people it has seen,
// and the turning of typed lines into messages.
class ChatView {
 public:
  ChatView(ChatClient* client, std::uint32_t self)
      : client_(client), self_(self) {}

  void Show(const Message& m);
  // Handles one typed line; false when it asks to leave.
  bool Input(std::string_view line);
  // Talk and whisper lines sent whose echo has not come back yet.
  int pending_echoes() const { return pending_echoes_; }
  int failed_account_commands() const { return failed_account_commands_; }

 private:
  std::string NameOf(std::uint32_t id) const;
  // Whispers, and makes the user whispered to the whisper target.
  void Whisper(std::string_view rest);
  // A server command line; those that act on targets go to the whisper
  // target.
  void Command(std::string_view line);
  void Accounts(std::string_view line);
  // Changes room by id, or by name once the room list has come.
  void Go(std::string_view room);
  void Send(int rc, std::string_view what);

  ChatClient* client_;
  std::uint32_t self_;
  std::map<std::uint32_t, std::string> occupants_;  // the current room
  std::map<std::uint32_t, std::string> known_;      // everybody seen
  std::uint16_t room_id_ = 0;
  bool saw_occupants_ = false;
  int pending_echoes_ = 0;
  int failed_account_commands_ = 0;
  std::string go_to_name_;  // a room asked for by name, until the list comes
  std::uint32_t target_ = 0;  // the whisper target; 0 = none
};

std::string ChatView::NameOf(std::uint32_t id) const {
  if (auto it = known_.find(id); it != known_.end()) return it->second;
  return "#" + std::to_string(id);
}

void ChatView::Show(const Message& m) {
  client::Speech speech;
  if (m.type == kRoomText) {
    // A room entry always starts here; the old room's people are gone.
    occupants_.clear();
    saw_occupants_ = false;
  } else if (m.type == kRoomInfo) {
    client::RoomInfo info;
    if (!client::DecodeRoomInfo(m.payload, &info)) return;
    room_id_ = info.id;
    Print("*** You are in " + Printable(info.name) + " (room " +
          std::to_string(info.id) + ")");
  } else if (m.type == kOccupants) {
    std::vector<client::UserSummary> people;
    if (!client::DecodeOccupants(m.payload, &people)) return;
    saw_occupants_ = true;
    std::string line = "*** Here:";
    for (const client::UserSummary& u : people) {
      occupants_[u.id] = known_[u.id] = u.name;
      line += " " + Printable(u.name) + (&u == &people.back() ? "" : ",");
    }
    Print(line);
  } else if (m.type == kEntered) {
    client::UserSummary u;
    if (!client::DecodeUserSummary(m.payload, &u)) return;
    occupants_[u.id] = known_[u.id] = u.name;
    if (u.id != self_) {
      Print("*** " + Printable(u.name) + " arrives");
    } else if (!saw_occupants_) {
      Print("*** Nobody else is here");
    }
  } else if (m.type == kLeft) {
    std::uint32_t id = 0;
    if (!client::DecodeU32(m.payload, &id)) return;
    Print("*** " + Printable(NameOf(id)) + " leaves");
    occupants_.erase(id);
  } else if (m.type == kTalk && client::DecodeSpeech(m.payload, &speech)) {
    if (speech.speaker == 0) {
      Print("*** " + Printable(speech.text));
    } else {
      if (speech.speaker == self_ && pending_echoes_ > 0) --pending_echoes_;
      Print("<" + Printable(NameOf(speech.speaker)) + "> " +
            Printable(speech.text));
    }
  } else if (m.type == kWhisper && client::DecodeSpeech(m.payload, &speech)) {
    if (speech.speaker == self_ && pending_echoes_ > 0) --pending_echoes_;
    Print("(whisper) <" + Printable(NameOf(speech.speaker)) + "> " +
          Printable(speech.text));
  } else if (m.type == kCrossWhisper) {
    client::CrossRoomWhisper w;
    if (!client::DecodeCrossRoomWhisper(m.payload, &w)) return;
    known_[w.speaker] = w.name;
    Print("(whisper) <" + Printable(w.name) + "> " + Printable(w.text));
  } else if (m.type == kListLine) {
    std::string text;
    if (client::DecodeZString(m.payload, &text)) Print("  " + Printable(text));
  } else if (m.type == kRoomList) {
    std::vector<client::RoomSummary> rooms;
    if (!client::DecodeRoomList(m.payload, &rooms)) return;
    if (!go_to_name_.empty()) {
      std::string wanted = std::exchange(go_to_name_, std::string());
      for (const client::RoomSummary& r : rooms) {
        if (r.name == wanted) {
          Send(client_->SendRoomRequest(static_cast<std::int16_t>(r.id)), "the room request");
          return;
        }
      }
      Print("*** No room is called " + Printable(wanted));
      return;
    }
    Print("*** " + std::to_string(rooms.size()) + " rooms:");
    for (const client::RoomSummary& r : rooms) {
      Print("  " + std::to_string(r.id) + "  " + Printable(r.name) + "  (" +
            std::to_string(r.occupants) +
            (r.occupants == 1 ? " person" : " people") +
            (r.closed ? ", closed)" : ")"));
    }
  } else if (m.type == kUserList) {
    std::vector<client::UserListEntry> users;
    if (!client::DecodeUserList(m.payload, &users)) return;
    Print("*** " + std::to_string(users.size()) + " users:");
    for (const client::UserListEntry& u : users) {
      known_[u.id] = u.name;
      Print("  " + Printable(u.name) + "  (room " + std::to_string(u.room) +
            ")");
    }
  } else if (m.type == kNameChange) {
    client::NameChange change;
    if (!client::DecodeNameChange(m.payload, &change)) return;
    Print("*** " + Printable(NameOf(change.user)) + " is now " +
          Printable(change.name));
    known_[change.user] = change.name;
    if (occupants_.count(change.user) != 0)
      occupants_[change.user] = change.name;
  } else if (m.type == kKill) {
    std::uint16_t reason = 0;
    (void)client::DecodeU16(m.payload, &reason);
    Print("*** The server sent you away (reason " + std::to_string(reason) +
          ")");
  }
}

void ChatView::Send(int rc, std::string_view what) {
  if (rc != kOk)
    Print("*** Could not send " + std::string(what) + ": " + ResultText(rc));
}

void ChatView::Whisper(std::string_view rest) {
  if (rest.empty()) {
    target_ = 0;
    Print("*** No whisper target");
    return;
  }
  // Names may hold spaces: the whole line as a name, else the longest name
  // that the line starts with followed by a space wins; the room's people
  // first.
  std::uint32_t target = 0;
  std::size_t best = 0;
  for (const auto* names : {&occupants_, &known_}) {
    for (const auto& [id, name] : *names) {
      bool whole = rest == name;
      bool starts = rest.size() > name.size() && rest.substr(0, name.size()) == name &&
                    rest[name.size()] == ' ';
      if ((whole || starts) && name.size() > best) {
        target = id;
        best = name.size();
      }
    }
    if (target != 0) break;
  }
  if (target == 0) {
    Print("*** No known user starts that line (try /who); usage: /w NAME [text]");
    return;
  }
  target_ = target;
  if (best == rest.size()) {
    Print("*** Whisper target: " + Printable(NameOf(target)) +
          " (moderation commands such as 'gag act on them)");
    return;
  }
  int rc = client_->SendWhisper({target}, rest.substr(best + 1));
  if (rc == kOk) ++pending_echoes_;
  Send(rc, "the whisper");
}

void ChatView::Command(std::string_view line) {
  std::string_view word = line.substr(1, line.find(' ') - 1);
  if (std::ranges::find(kTargetCommands, word) == std::end(kTargetCommands)) {
    // A command line is answered, if at all, by a notice; it has no echo.
    Send(client_->SendTalk(line), "the command");
  } else if (target_ == 0) {
    Print("*** " + Printable(line.substr(0, word.size() + 1)) +
          " acts on the whisper target, and there is none: first /w NAME, then " +
          Printable(line));
  } else {
    Send(client_->SendWhisper({target_}, line), "the command");
  }
}

void ChatView::Accounts(std::string_view line) {
  AccountConsole console;
  console.client = client_;
  console.show = [this](const Message& m) { Show(m); };
  // Account and group names come from the server.
  console.print = [](const std::string& text) { Print(Printable(text)); };
  if (!RunAccountCommand(line, console)) ++failed_account_commands_;
}

void ChatView::Go(std::string_view room) {
  long id = 0;
  std::string text(room);
  if (text.empty()) {
    Print("*** usage: /go ROOM (an id or a name)");
  } else if (ParseNumber(text.c_str(), -1, 32767, &id)) {
    Send(client_->SendRoomRequest(static_cast<std::int16_t>(id)), "the room request");
  } else {
    go_to_name_ = text;
    Send(client_->SendRoomListRequest(), "the room list request");
    Send(client_->SendRoomListStop(), "the room list stop");
  }
}

bool ChatView::Input(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return true;
  if (line[0] == '\'' || line[0] == '`') {
    Command(line);
  } else if (line[0] != '/' || line.starts_with("//")) {
    if (line.starts_with("//")) line.remove_prefix(1);
    int rc = client_->SendTalk(line);
    if (rc == kOk) ++pending_echoes_;
    Send(rc, "the line");
  } else if (line == "/quit") {
    return false;
  } else if (line == "/w" || line.starts_with("/w ")) {
    Whisper(line.substr(std::min<std::size_t>(line.size(), 3)));
  } else if (line == "/accounts" || line == "/account" ||
             line.starts_with("/accounts ") || line.starts_with("/account ")) {
    Accounts(line);
  } else if (line.starts_with("/go ") || line.starts_with("/room ")) {
    Go(line.substr(line.find(' ') + 1));
  } else if (line == "/rooms") {
    // One list, not a subscription to every later change.
    Send(client_->SendRoomListRequest(), "the room list request");
    Send(client_->SendRoomListStop(), "the room list stop");
  } else if (line == "/who") {
    Send(client_->SendUserListRequest(), "the user list request");
    Send(client_->SendUserListStop(), "the user list stop");
  } else {
    Print(
        "*** Commands: /w NAME [text], /go ROOM, /rooms, /who, /accounts, /account, /quit; "
        "//text says /text");
  }
  return true;
}

// Shows every message that has arrived, at most kMaxMessagesPerTurn.
void ShowArrived(ChatClient& client, ChatView& view,
                 std::chrono::milliseconds wait) {
  Message m;
  for (int i = 0;
       i < kMaxMessagesPerTurn && client.Receive(&m, i == 0 ? wait : 0ms);
       ++i) {
    view.Show(m);
  }
}

Clock::time_point After(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The end of a session: says on standard error what went wrong, if
// anything, and gives the exit status.
int Finish(ChatClient& client, ChatView& view, bool lost) {
  int status = 0;
  if (lost) {
    int error = client.last_error();
    std::fprintf(stderr, "zanthc: the server ended the connection%s%s\n", error == 0 ? "" : ": ",
                 error == 0 ? "" : ResultText(error).c_str());
    status = 1;
  }
  client.Close();
  if (int failed = view.failed_account_commands(); failed > 0) {
    std::fprintf(stderr, "zanthc: %d account command%s failed\n", failed, failed == 1 ? "" : "s");
    status = 1;
  }
  return status;
}

// Says the scripted lines, then shows what comes until every expected text
// was shown (and the lines said have come back) or the time is up, and at
// least for the linger time.
int RunScript(const Options& o, ChatClient& client, ChatView& view) {
  for (const std::string& line : o.say) {
    if (!view.Input(line)) break;
  }
  Clock::time_point deadline = After(o.timeout_seconds);
  Clock::time_point linger_end = After(o.linger_seconds);
  while (!client.closed()) {
    Clock::time_point now = Clock::now();
    bool waiting = !g_expected.empty() || view.pending_echoes() > 0;
    if (now >= linger_end && (!waiting || now >= deadline)) break;
    ShowArrived(client, view, 50ms);
  }
  bool lost = client.closed();
  ShowArrived(client, view, 0ms);
  for (const std::string& text : g_expected) {
    std::fprintf(stderr, "zanthc: not shown within %g s: %s\n", o.timeout_seconds, text.c_str());
  }
  int status = Finish(client, view, lost);
  return g_expected.empty() ? status : 1;
}

int Run(const Options& o) {
  // Resolved here, so that a name that does not resolve is told apart from
  // a server that does not answer.
  std::uint32_t address = 0;
  if (platform::ResolveIPv4(o.host, &address) != 0) {
    std::fprintf(stderr, "zanthc: cannot resolve the host name %s\n", o.host.c_str());
    return 1;
  }
  ChatClient client;
  std::string bind = o.bind;
  if (bind.empty() && (address >> 24) == 127) bind = LoopbackSourceAddress();
  if (int rc = client.Connect(platform::FormatIPv4(address), o.port, bind); rc != kOk) {
    std::fprintf(stderr, "zanthc: cannot connect to %s:%u: %s\n",
                 o.host.c_str(), static_cast<unsigned>(o.port),
                 ResultText(rc).c_str());
    return 1;
  }
  client::Ident ident;
  ident.nickname = o.name;
  ident.room = o.room;
  ident.account = o.account;
  ident.password = o.password;
  g_expected = o.expect;
  client::SignOnResult signon;
  int signon_rc = client.SignOn(ident, 10s, &signon);
  ChatView view(&client, signon.user_id);
  for (const Message& m : signon.messages) view.Show(m);
  if (signon_rc != kOk) {
    if (client.closed()) {
      std::fprintf(stderr, "zanthc: the server ended the connection during sign-on\n");
    } else {
      std::fprintf(stderr, "zanthc: sign-on failed: %s\n", ResultText(signon_rc).c_str());
    }
    return 1;
  }
  if (o.scripted()) return RunScript(o, client, view);

  std::string pending;  // typed bytes not yet ending in a newline
  bool input_open = true;
  Clock::time_point leave_at = Clock::time_point::max();
  while (!client.closed()) {
    if (input_open) {
      pollfd stdin_poll{0, POLLIN, 0};
      int ready = ::poll(&stdin_poll, 1, kInputWaitMs);
      if (ready > 0) {
        char buffer[4096];
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n > 0) {
          pending.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          input_open = false;
          if (!pending.empty()) pending += '\n';
          leave_at = After(o.linger_seconds);
        }
      }
      bool quit = false;
      for (std::size_t nl = pending.find('\n');
           nl != std::string::npos && !quit; nl = pending.find('\n')) {
        quit = !view.Input(std::string_view(pending).substr(0, nl));
        pending.erase(0, nl + 1);
      }
      if (quit) {
        // Leave as soon as the echoes of the lines sent have come back.
        input_open = false;
        leave_at = Clock::now();
      }
      ShowArrived(client, view, 0ms);
    } else {
      ShowArrived(client, view, 50ms);
      Clock::time_point now = Clock::now();
      // Wait for the echo of the last lines so that they surely reached the
      // server before the link closes, but never long.
      if (now >= leave_at &&
          (view.pending_echoes() == 0 || now >= leave_at + kEchoWait))
        break;
    }
  }
  bool lost = client.closed();
  ShowArrived(client, view, 0ms);
  if (lost) Print("*** The connection ended");
  return Finish(client, view, lost);
}

}  // namespace
}  // namespace zanth::tools

int main(int argc, char** argv) {
  zanth::tools::Options options;
  switch (zanth::tools::ParseOptions(argc, argv, &options)) {
    case zanth::tools::Parsed::kHelp:
      std::fputs(zanth::tools::kUsage, stdout);
      return 0;
    case zanth::tools::Parsed::kVersion:
      std::printf("zanthc %s\n", ZANTH_VERSION);
      return 0;
    case zanth::tools::Parsed::kBad:
      std::fputs(zanth::tools::kUsage, stderr);
      return 2;
    case zanth::tools::Parsed::kRun:
      break;
  }
  return zanth::tools::Run(options);
}

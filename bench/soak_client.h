// One simulated user of the soak run: its connection, the random things it
// does, and the count of everything it asked for against what came back.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "client/chat_client.h"
#include "platform/socket.h"

namespace zanth::bench {

using SoakClock = std::chrono::steady_clock;

// Where a client is between two sessions.
enum class Phase {
  kOffline,     // no connection; signs on again at next_time()
  kConnecting,  // connect started, not finished
  kSigningOn,   // ident sent, waiting for the end of the sign-on
  kOnline,      // acting
  kLeaving,     // no more actions; waits for every answer, then closes
};

// Requests that the server answers to their sender: each is counted when
// sent (or when the server owes an answer) and when the answer comes.
enum Request {
  kTalkEcho,    // a talk line comes back to its speaker, in order
  kFaceEcho,    // "FNum" with the sender's id
  kColourEcho,  // "FRGB" with the sender's id
  kRoomAnswer,  // "RmIn" of the new room, or a refusal notice
  kDropEcho,    // the "LPrp" of the sender's own drop
  kWearEcho,    // the sender's own "Plst" (after a change or a room change)
  kUploadAck,   // "FAck" for the start and each segment of a media upload
  kUploadDone,  // "FChn" for the sender's own finished upload
  kRequestKinds
};

// What a client chooses to do, also the keys of the action totals.
enum Action {
  kTalk,
  kMove,
  kFace,
  kColour,
  kRoomChange,
  kWear,
  kPropDrop,
  kPropMove,
  kPropDelete,
  kSignOff,
  kSignOn,
  kMediaUpload,
  kPropUpload,  // answering the server's request for a prop's data
  kActionKinds
};

const char* ActionName(int action);
const char* RequestName(int request);

// Counters shared by every client of a run (one driver thread).
struct SoakTotals {
  std::array<std::uint64_t, kActionKinds> actions{};
  std::uint64_t messages = 0;         // everything received
  std::uint64_t talk_heard = 0;       // talk lines of other clients
  std::uint64_t talk_misordered = 0;  // a line from one speaker came twice
                                      // or before an earlier one
  std::uint64_t moves_seen = 0;       // "UsMv" of others
  std::uint64_t forced_moves = 0;     // "UsMv" of oneself: a move was moved
  std::uint64_t file_changes = 0;     // "FChn" received
  std::uint64_t notices = 0;          // server notices, refusals aside
  std::uint64_t room_refusals = 0;    // "the room is full"
  std::uint64_t signons_done = 0;
  std::uint64_t signon_failures = 0;  // connect or sign-on did not finish
  std::uint64_t lost_links = 0;       // connections the server ended
  std::uint64_t kills = 0;            // "Kill" messages
  std::uint64_t leave_timeouts = 0;   // left with answers still owed
  std::uint64_t unanswered = 0;       // answers owed on links that ended
  std::uint64_t open_links = 0;       // connections open now
};

// The fixed facts every client of a run shares.
struct SoakSite {
  std::uint16_t port = 0;
  std::uint16_t gate_room = 100;
  std::uint16_t first_room = 200;  // rooms first_room .. + room_count - 1
  int room_count = 1;
  int clients = 1;  // slots, for the table of lines heard
  platform::Poller* poller = nullptr;
  SoakTotals* totals = nullptr;
};

// A loose prop as a client last saw it in its room.
struct SeenProp {
  std::array<std::uint8_t, 20> id{};
  std::int16_t x = 0;
  std::int16_t y = 0;
  bool operator==(const SeenProp&) const = default;
};

class SoakClient {
 public:
  // slot: the client's number, which fixes its source address 127.10.x.y
  // and its place in the talk lines. Staff clients sign on as a Lord and
  // upload media files.
  SoakClient(const SoakSite* site, int slot, bool staff);
  SoakClient(const SoakClient&) = delete;
  SoakClient& operator=(const SoakClient&) = delete;

  // Starts connecting. REQUIRES: phase() is kOffline. Returns kOk or the
  // error (then the client stays offline and tries again later).
  int StartSignOn(SoakClock::time_point now, std::mt19937_64& random);
  // The poller found the connection ready: finishes the connect, or reads
  // and handles every message that has arrived.
  void OnReady(SoakClock::time_point now, std::mt19937_64& random);
  // Ends phases that ran out of time and, while acting, performs the
  // action that is due. Called often for every client.
  void Tick(SoakClock::time_point now, std::mt19937_64& random, bool acting);
  // Stops acting and closes once every answer has come.
  void BeginLeave(SoakClock::time_point now);

  Phase phase() const { return phase_; }
  // When an offline client is due to sign on again.
  SoakClock::time_point next_time() const { return next_time_; }
  int slot() const { return slot_; }
  bool staff() const { return staff_; }
  std::uint16_t room() const { return room_; }
  const std::vector<SeenProp>& loose_props() const { return loose_; }
  // Answers still owed over all kinds.
  std::uint64_t Pending() const;
  std::uint64_t sent(int request) const {
    return sent_[static_cast<std::size_t>(request)];
  }
  std::uint64_t answered(int request) const {
    return answered_[static_cast<std::size_t>(request)];
  }
  // Talk echoes that were not the next line expected.
  std::uint64_t misordered_echoes() const { return misordered_echoes_; }
  // The name and content of the last media upload (staff), or empty.
  const std::string& upload_name() const { return upload_name_; }
  const std::string& upload_content() const { return upload_content_; }

 private:
  void Handle(const client::Message& m, SoakClock::time_point now);
  void HandleTalk(const client::Message& m);
  void HandleSignOnEnd(SoakClock::time_point now);
  void Act(SoakClock::time_point now, std::mt19937_64& random);
  void Talk(std::mt19937_64& random);
  void Move(std::mt19937_64& random);
  void ChangeRoom(std::mt19937_64& random);
  void Wear(std::mt19937_64& random);
  void LooseProp(std::mt19937_64& random);
  void UploadMedia(std::mt19937_64& random);
  // Sends one message; a failed send ends the link, which the next Tick
  // reports as lost.
  void SendMessage(std::uint32_t type,
                   const std::vector<std::uint8_t>& payload);
  void Count(int action);
  void Owe(int request, std::uint64_t count = 1) {
    sent_[static_cast<std::size_t>(request)] += count;
  }
  void Answer(int request) { ++answered_[static_cast<std::size_t>(request)]; }
  // Closes the link (lost says the server ended it first) and goes offline
  // until retry_at.
  void GoOffline(SoakClock::time_point retry_at, bool lost);
  void Unwatch();

  const SoakSite* site_;
  int slot_;
  bool staff_;
  std::string address_;
  std::array<std::uint32_t, 4> uuid_;
  client::ChatClient link_;
  int watched_fd_ = -1;  // the link's socket while it is in the poller

  Phase phase_ = Phase::kOffline;
  SoakClock::time_point next_time_{};  // next action, sign-on or deadline
  SoakClock::time_point deadline_{};   // end of the current phase
  SoakClock::time_point next_upload_{};
  std::uint32_t user_id_ = 0;
  std::uint16_t room_ = 0;
  std::int16_t width_ = 512;
  std::int16_t height_ = 384;
  bool wearing_ = false;  // sent a prop list on this connection
  // For each room request not yet answered: whether a prop list had been
  // sent before it. The server shows the list to the room entered only
  // when it had one when it moved the client.
  std::deque<bool> room_requests_;
  std::vector<SeenProp> loose_;

  std::array<std::uint64_t, kRequestKinds> sent_{};
  std::array<std::uint64_t, kRequestKinds> answered_{};
  std::uint32_t talk_next_ = 0;       // sequence of the next line to send
  std::uint32_t talk_echo_next_ = 0;  // sequence of the next echo expected
  std::uint64_t misordered_echoes_ = 0;
  std::uint32_t drops_ = 0;           // drops sent, over all connections
  std::uint32_t drop_echo_next_ = 0;  // drops whose echo came
  std::uint32_t uploads_ = 0;
  std::string upload_name_;
  std::string upload_content_;
  // For each other slot, one more than the sequence of the last line heard
  // from it: lines from one speaker must arrive in the order spoken.
  std::vector<std::uint32_t> heard_;
};

}  // namespace zanth::bench

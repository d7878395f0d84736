// The in-process site of the session fuzz targets.
#include "fuzz_site.h"

#include <cstdio>
#include <cstdlib>

#include "client/encode.h"
#include "commands/commands.h"
#include "config/config_file.h"
#include "fuzz_support.h"
#include "protocol/dispatcher.h"
#include "wire/framing.h"

namespace zanth::fuzz {

FuzzSite::FuzzSite() : site_(settings_, transport_), hooks_(site_), sessions_(site_) {
  platform::SetClock(&clock_);
  ResetScratchDir({"data/media/props"});
  settings_.data_dir = ScratchDir() + "data/";
  settings_.config_file = settings_.data_dir + "zanth.conf";
  settings_.media_dir = settings_.data_dir + "media/";
  settings_.prop_dir = settings_.media_dir + "props/";
  settings_.site_name = "Fuzz Site";
  settings_.base_url = "http://127.0.0.1/";
  settings_.prop_url = "http://127.0.0.1/props/";

  site_.accounts.AddFront({"Lord", users::EncodePassword("Velk*Baron"), 0, 2});
  site_.accounts.AddFront({"knight", users::EncodePassword("sword"), 7, 3});
  (void)site_.props.Open(settings_.data_dir + "propcache.idx", settings_.prop_dir);
  struct FirstRoom {
    std::uint16_t id;
    const char* name;
    std::uint32_t flags;
    std::int16_t max_occupancy;
  };
  const FirstRoom kRooms[] = {
      {100, "gate", rooms::kGate, 16},
      {101, "timeout", rooms::kTimeout | rooms::kHidden | rooms::kStaff, 16},
      {102, "members", rooms::kMembers | rooms::kNoSpoof, 16},
      {103, "space", rooms::kIs3D | rooms::kNoWhisper, 16},
      {104, "closet", rooms::kPrivate | rooms::kNoLooseProps, 1},
  };
  for (const FirstRoom& r : kRooms) {
    rooms::RoomFields fields;
    fields.id = r.id;
    fields.name = r.name;
    fields.flags = r.flags;
    fields.max_occupancy = r.max_occupancy;
    fields.file_name = std::string(r.name) + ".rmd";
    fields.description = fields.file_name;
    (void)site_.rooms.Append(fields);
  }
  WriteScratchFile("data/media/gate.rmd", "<roomdesc background=\"plain.jpg\">\r</roomdesc>\r");
  site_.sounds.Add("bell", "bell.wav");

  commands::InstallSiteHooks(site_);
  site_.save_configuration = [this] {
    (void)config::WriteConfiguration(settings_.config_file, settings_, &hooks_);
  };
}

FuzzSite::~FuzzSite() {
  while (users::UserRecord* user = site_.users.users().front()) {
    protocol::RemoveUser(site_, *user);
  }
  if (transport_.connection_count() != 0) {
    std::fprintf(stderr, "zanth-fuzz: %zu connections outlived their users\n",
                 transport_.connection_count());
    std::abort();
  }
  platform::SetClock(nullptr);
}

users::UserRecord& FuzzSite::Accept(const std::string& address) {
  net::Connection* connection = transport_.AddDetached(address, &sessions_);
  if (sessions_.OnAccept(*connection) != 0) std::abort();
  return *static_cast<users::UserRecord*>(connection->user_data);
}

void FuzzSite::Deliver(users::UserRecord& user, std::uint32_t type, std::string_view payload,
                       bool compress) {
  std::vector<std::uint8_t> frame;
  wire::FrameMessage(wire::kChatMagic, type,
                         reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(),
                         compress, &frame);
  user.receive.insert(user.receive.end(), frame.begin(), frame.end());
  // As a receive on its connection would, so that the next pass serves it.
  site_.users.MarkActive(user);
}

void FuzzSite::Pass() { (void)protocol::ProcessUsers(site_); }

users::UserRecord* FuzzSite::SignOn(const std::string& address, const client::Ident& ident) {
  users::UserRecord& user = Accept(address);
  std::uint32_t id = user.id;
  std::vector<std::uint8_t> record = client::EncodeIdent(ident);
  Deliver(user, client::kIdent,
          std::string_view(reinterpret_cast<const char*>(record.data()), record.size()));
  Pass();
  users::UserRecord* signed_on = Find(id);
  return signed_on != nullptr && signed_on->signed_on() ? signed_on : nullptr;
}

}  // namespace zanth::fuzz

// Server commands: the interpreter with its fixed table of 34 commands,
// moderation, paging, name changes and mute lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/site.h"

namespace zanth::commands {

struct CommandEntry {
  std::uint32_t rights;
  const char* name;
  const char* synopsis;
  const char* description;
};
extern const CommandEntry kCommandTable[34];

// Runs a command line (the chat text without its command character) with
// the whisper targets it came with. Returns the command's status.
int RunCommand(protocol::Site& site, users::UserRecord& user, std::string_view line,
               const std::vector<std::uint32_t>& targets);

// Connects site's command, name-change and leaving hooks to this module.
void InstallSiteHooks(protocol::Site& site);

// Name changes: a client's "Name", the name command and the name gag.
// Returns the status of the room broadcast, 0 when nothing changed.
int ChangeName(protocol::Site& site, users::UserRecord& user, std::string_view requested);

// Mute lists.
void Mute(protocol::Site& site, users::UserRecord& issuer, const std::vector<std::uint32_t>& targets);
void Unmute(protocol::Site& site, users::UserRecord& issuer,
            const std::vector<std::uint32_t>& targets);
// Removes a leaving user from the mute lists of everyone it touches.
void DropFromMuteLists(protocol::Site& site, users::UserRecord& user);

// Moderation actions on whisper targets.
enum class Action { kKill, kPin, kUnpin, kGag, kUngag, kPropGag, kUnpropGag, kNameGag,
                    kUnnameGag, kTimeout, kRelease };
int Moderate(protocol::Site& site, users::UserRecord& issuer, Action action,
             const std::vector<std::uint32_t>& targets);

// Paging the staff, and the staff's answer to the last pager.
void Page(protocol::Site& site, users::UserRecord& issuer, const std::string& text);
void Repage(protocol::Site& site, users::UserRecord& issuer, const std::string& text);

}  // namespace zanth::commands

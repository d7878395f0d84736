// Paging the staff and the staff's answer.
#include "commands/commands.h"
#include "core/log.h"
#include "protocol/session.h"

namespace zanth::commands {

void Page(protocol::Site& site, users::UserRecord& issuer, const std::string& text) {
  if (site.GroupOf(issuer).Has(users::kReceivesPages)) {
    protocol::SendStaffNotice(
        site, &issuer, FormatMessage("Page from %s: %s", issuer.name.c_str(), text.c_str()));
    return;
  }
  site.last_pager = issuer.id;
  std::string room = issuer.room != nullptr ? issuer.room->name : "";
  protocol::SendStaffNotice(site, &issuer,
                            FormatMessage("Page from %s in %s: %s", issuer.name.c_str(),
                                          room.c_str(), text.c_str()));
  if (!text.empty() && text[0] == ';') return;
  users::SendServerNotice(issuer, "The staff has been paged");
}

void Repage(protocol::Site& site, users::UserRecord& issuer, const std::string& text) {
  users::UserRecord* pager = site.users.Find(site.last_pager);
  if (site.last_pager == 0 || pager == nullptr) return;
  users::SendServerNotice(*pager, text);
  protocol::SendStaffNotice(
      site, &issuer, FormatMessage("Re-page from %s: %s", issuer.name.c_str(), text.c_str()));
}

}  // namespace zanth::commands

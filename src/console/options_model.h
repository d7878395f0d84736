// The rules of the options dialog, apart from the screen: the fields as the
// dialog shows them, and what saving them changes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/settings.h"

namespace zanth::console {

// The dialog reads at most this many characters from each field.
inline constexpr std::size_t kFieldLimit = 254;

struct OptionsFields {
  std::string site_name;
  std::string address;
  std::string chat_port;  // decimal
  std::string http_port;  // decimal
  // Decimal; empty when the site has no HTTPS port, and the dialog then
  // shows no such field.
  std::string https_port;
};

// The fields as the dialog opens: the values in memory, ports in decimal.
OptionsFields FieldsFromSettings(const Settings& settings);

// A port field read as a decimal number: digits only (surrounding blanks
// allowed); anything else, and any number beyond 65535, gives 0.
std::uint16_t PortFieldValue(std::string_view text);

struct SaveOutcome {
  bool write_configuration = false;  // anything changed
  bool restart_notice = false;       // the address or a port changed
};

// Saves the fields into settings as the dialog's "Save" does: each field is
// cut to kFieldLimit and compared with the value in memory; a different site
// name is stored; a different address, chat port, HTTP port or HTTPS port
// is stored and needs a restart before the listeners use it (an HTTPS port
// emptied or 0 turns HTTPS off).
SaveOutcome SaveOptions(const OptionsFields& fields, Settings* settings);

// The notice shown once after a save that needs a restart.
inline constexpr char kRestartNotice[] =
    "Changes will take effect next time the server is started.";

}  // namespace zanth::console

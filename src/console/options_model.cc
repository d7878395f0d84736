// The options dialog's save rules.
#include "console/options_model.h"

namespace zanth::console {
namespace {

// kFieldLimit is below the limits of the name (511) and the address (255),
// so a field read whole always fits its setting.
std::string_view Field(std::string_view text) { return text.substr(0, kFieldLimit); }

}  // namespace

OptionsFields FieldsFromSettings(const Settings& settings) {
  OptionsFields fields;
  fields.site_name = settings.site_name;
  fields.address = settings.bind_address;
  fields.chat_port = std::to_string(settings.chat_port);
  fields.http_port = std::to_string(settings.http_port);
  if (settings.https_port != 0) fields.https_port = std::to_string(settings.https_port);
  return fields;
}

std::uint16_t PortFieldValue(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return 0;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 0xFFFF) return 0;
  }
  return static_cast<std::uint16_t>(value);
}

SaveOutcome SaveOptions(const OptionsFields& fields, Settings* settings) {
  SaveOutcome outcome;
  std::string_view name = Field(fields.site_name);
  if (name != settings->site_name) {
    settings->site_name = std::string(name);
    outcome.write_configuration = true;
  }
  std::string_view address = Field(fields.address);
  if (address != settings->bind_address) {
    settings->bind_address = std::string(address);
    outcome.restart_notice = true;
  }
  std::uint16_t chat_port = PortFieldValue(Field(fields.chat_port));
  if (chat_port != settings->chat_port) {
    settings->chat_port = chat_port;
    outcome.restart_notice = true;
  }
  std::uint16_t http_port = PortFieldValue(Field(fields.http_port));
  if (http_port != settings->http_port) {
    settings->http_port = http_port;
    outcome.restart_notice = true;
  }
  std::uint16_t https_port = PortFieldValue(Field(fields.https_port));
  if (https_port != settings->https_port) {
    settings->https_port = https_port;
    outcome.restart_notice = true;
  }
  if (outcome.restart_notice) outcome.write_configuration = true;
  return outcome;
}

}  // namespace zanth::console

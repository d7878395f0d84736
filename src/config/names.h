// The vocabulary of the configuration file: the element names the readers
// recognise and the table of attribute names used for debug lines.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace zanth::config {

// Every element name either reader knows. "dirserver" and "tls" are ours;
// other readers of the file skip them as unknown.
inline constexpr std::array<std::string_view, 16> kElementNames = {
    "sitename",     "propurl", "baseurl", "profileurl",  "room",
    "prop",         "sound",   "siteurl", "description", "siteimg",
    "liveinfofile", "pidfile", "rating",  "cgipath",     "dirserver",
    "tls",
};

// Every attribute name of the site, room, prop, sound and tls elements.
inline constexpr std::array<std::string_view, 34> kAttributeNames = {
    "address", "port",      "id",       "hidden",   "maxocc", "private",
    "members", "src",       "nudity",   "sex",      "lang",   "violence",
    "name",    "gate",      "nocyborg", "timeout",  "staff",  "nolooseprops",
    "nopaint", "nowhisper", "nospoof",  "is3D",     "width",  "height",
    "desc",    "horz",      "vert",     "httpport", "listen", "httpsport",
    "trustedproxy", "metricsfrom", "cert", "key",
};

// Names match exactly, case included.
inline bool IsElementName(std::string_view name) {
  for (std::string_view known : kElementNames) {
    if (known == name) return true;
  }
  return false;
}

// The position of name in kAttributeNames, or -1.
inline int AttributeIndex(std::string_view name) {
  for (std::size_t i = 0; i < kAttributeNames.size(); ++i) {
    if (kAttributeNames[i] == name) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace zanth::config

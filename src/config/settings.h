// Process-wide site settings and paths. One instance lives in the server;
// the configuration file reads and writes most of it.
#pragma once

#include <cstdint>
#include <string>

namespace zanth {

inline constexpr char kServerVersion[] =
    "Zanth Personal Server for Windows 1.2b3 build 192";
inline constexpr std::uint16_t kDefaultChatPort = 12005;
inline constexpr std::uint16_t kDefaultHttpPort = 8080;

inline constexpr std::uint32_t kSiteHidden = 0x1;  // bit 0 of site_flags

// The props' folder inside the media folder, and their URL inside the base
// URL.
inline constexpr char kPropsSubfolder[] = "props/";

struct Settings {
  // Paths. Every directory ends in "/".
  std::string data_dir;        // documents folder + "/My Zanth/"
  std::string log_file;        // data_dir + "zanth.log"
  std::string config_file;     // data_dir + "zanth.conf"

  // Site settings kept in the configuration file, with their limits.
  std::string site_name = "No Name";      // 511
  std::string directory_id;               // 32
  std::string bind_address = "0.0.0.0";   // 256, the address the site gives out
  // "listen" on "sitename": the one address both listeners are bound to;
  // empty binds them to all interfaces.
  std::string listen_address;             // 256
  std::uint16_t chat_port = kDefaultChatPort;
  std::uint16_t http_port = kDefaultHttpPort;  // "httpport" on "sitename"
  // "httpsport" on "sitename": the port of the HTTPS listener; 0, the
  // attribute absent, opens none.
  std::uint16_t https_port = 0;
  // The "tls" element's "cert" and "key": the PEM certificate (a full chain
  // is fine) and its private key. Local paths.
  std::string tls_certificate;            // 511
  std::string tls_key;                    // 511
  // "trustedproxy" on "sitename": the addresses of reverse proxies whose
  // X-Forwarded-For names the visitor; empty trusts none.
  std::string trusted_proxies;            // 1023, addresses apart by commas or blanks
  // "metricsfrom" on "sitename": addresses besides loopback that may read
  // the counters at /metrics; empty allows loopback only.
  std::string metrics_from;               // 1023, as trusted_proxies
  std::uint32_t site_flags = 0;
  std::uint16_t site_capacity = 0;        // 0 = no limit
  bool private_site = false;
  bool members_site = false;
  std::string prop_url;                   // 511, ends in "/"
  std::string prop_dir;                   // 511, ends in "/"
  std::string base_url;                   // 1023, ends in "/"
  std::string media_dir;                  // 511, ends in "/"
  std::string profile_url;                // 1023
  std::string profile_file;               // 511
  std::string site_url;                   // 511
  std::string cgi_path;                   // 511, ends in "/"
  std::string site_image;                 // 511
  std::string description;                // 1023
  std::string live_info_file;             // 511
  std::string pid_file;                   // 511
  bool rating_present = false;
  std::int16_t rating[4] = {-1, -1, -1, -1};  // nudity, sex, lang, violence
  std::string directory_server;           // "host:port", "dirserver" element

  bool hidden() const { return (site_flags & kSiteHidden) != 0; }

  // The media folder of a site whose configuration names none.
  std::string DefaultMediaDir() const { return data_dir + "media/"; }
  // Puts the media folder and the prop folder where a new site has them.
  void UseDefaultFolders() {
    media_dir = DefaultMediaDir();
    prop_dir = media_dir + kPropsSubfolder;
  }
};

// Limits of the text settings, in characters.
inline constexpr std::size_t kSiteNameLimit = 511;
inline constexpr std::size_t kDirectoryIdLimit = 32;
inline constexpr std::size_t kAddressLimit = 256;
inline constexpr std::size_t kPathLimit = 511;
inline constexpr std::size_t kLongTextLimit = 1023;

}  // namespace zanth

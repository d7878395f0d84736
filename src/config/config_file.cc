// Reading and writing the configuration file: site settings here, rooms and
// sounds through ConfigHooks.
#include "config/config_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/markup.h"
#include "config/names.h"
#include "config/text.h"
#include "config/xml.h"
#include "core/log.h"
#include "core/result.h"
#include "platform/file.h"

namespace zanth::config {
namespace {

constexpr char kRootName[] = "zanthd";
constexpr char kNamespaceUri[] = "http://zanth.example/xmlschemas/server.conf/";
constexpr std::string_view kXmlStart = "<?xml";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::size_t kSoundFieldLimit = 32;
constexpr std::size_t kAttributeLimit = 1023;

// A text that clients see, as read from the file.
std::string Wire(const std::string& file_text) { return WireFromXml(file_text); }

// The element with its texts and attribute values as clients sent them,
// children too; values are cut to the attribute limit once they are.
Element WireElement(const Element& element) {
  Element wire;
  wire.name = element.name;
  wire.text = Wire(element.text);
  for (const auto& [name, value] : element.attributes) {
    wire.attributes.emplace_back(name, CutText(Wire(value), kAttributeLimit));
  }
  for (const Element& child : element.children) {
    wire.children.push_back(WireElement(child));
  }
  return wire;
}

// The reverse of WireElement: texts and values as the file holds them.
Element FileElement(const Element& element) {
  Element file;
  file.name = element.name;
  file.text = XmlFromWire(element.text);
  for (const auto& [name, value] : element.attributes) {
    file.attributes.emplace_back(name, XmlFromWire(value));
  }
  for (const Element& child : element.children) {
    file.children.push_back(FileElement(child));
  }
  return file;
}

std::uint16_t ParseUnsigned16(const std::string& text) {
  return static_cast<std::uint16_t>(ParseNumber(text));
}

std::int16_t ParseSigned16(const std::string& text) {
  return static_cast<std::int16_t>(ParseNumber(text));
}

void ApplySiteName(const Element& element, Settings* settings) {
  settings->site_name = CutText(Wire(element.text), kSiteNameLimit);
  // Flags are only ever set here: present means on, whatever the value.
  for (const auto& [name, value] : element.attributes) {
    if (name == "id") {
      settings->directory_id = CutText(Wire(value), kDirectoryIdLimit);
    } else if (name == "address") {
      settings->bind_address = CutText(Wire(value), kAddressLimit);
    } else if (name == "port") {
      settings->chat_port = ParseUnsigned16(value);
    } else if (name == "httpport") {
      settings->http_port = ParseUnsigned16(value);
    } else if (name == "listen") {
      settings->listen_address = CutText(value, kAddressLimit);
    } else if (name == "httpsport") {
      settings->https_port = ParseUnsigned16(value);
    } else if (name == "trustedproxy") {
      settings->trusted_proxies = CutText(value, kLongTextLimit);
    } else if (name == "metricsfrom") {
      settings->metrics_from = CutText(value, kLongTextLimit);
    } else if (name == "members") {
      settings->members_site = true;
    } else if (name == "maxocc") {
      settings->site_capacity = ParseUnsigned16(value);
    } else if (name == "private") {
      settings->private_site = true;
    } else if (name == "hidden") {
      settings->site_flags |= kSiteHidden;
    }
  }
}

void ApplyRating(const Element& element, Settings* settings) {
  settings->rating_present = true;
  bool verbose = LogVerbose();
  if (verbose) LogDebug("Processing site rating");
  for (const auto& [name, value] : element.attributes) {
    if (verbose) LogDebug("Parm %d", AttributeIndex(name));
    if (name == "nudity") {
      settings->rating[0] = ParseSigned16(value);
    } else if (name == "sex") {
      settings->rating[1] = ParseSigned16(value);
    } else if (name == "lang") {
      settings->rating[2] = ParseSigned16(value);
    } else if (name == "violence") {
      settings->rating[3] = ParseSigned16(value);
    }
  }
}

// The URL of an element that names a folder, and its "src" attribute, the
// folder's local path (kept in UTF-8, as the system names it); both end in
// "/".
void ApplyFolderPair(const Element& element, std::size_t text_limit,
                     std::string* text, std::string* source) {
  *text = WithTrailingSlash(Wire(element.text), text_limit);
  for (const auto& [name, value] : element.attributes) {
    if (name == "src") *source = WithTrailingSlash(value, kPathLimit);
  }
}

void ApplyElement(const Element& element, Settings* settings,
                  ConfigHooks* hooks) {
  const std::string& name = element.name;
  if (name == "room") {
    // The room owns its children (its loose props).
    if (hooks != nullptr) hooks->ReadRoom(WireElement(element));
    return;
  }
  if (name == "sitename") {
    ApplySiteName(element, settings);
  } else if (name == "propurl") {
    ApplyFolderPair(element, kPathLimit, &settings->prop_url,
                    &settings->prop_dir);
  } else if (name == "baseurl") {
    ApplyFolderPair(element, kLongTextLimit, &settings->base_url,
                    &settings->media_dir);
  } else if (name == "profileurl") {
    settings->profile_url = CutText(Wire(element.text), kLongTextLimit);
    for (const auto& [attribute, value] : element.attributes) {
      if (attribute == "src") settings->profile_file = CutText(value, kPathLimit);
    }
  } else if (name == "siteurl") {
    settings->site_url = CutText(Wire(element.text), kPathLimit);
  } else if (name == "cgipath") {
    settings->cgi_path = WithTrailingSlash(Wire(element.text), kPathLimit);
  } else if (name == "siteimg") {
    settings->site_image = CutText(Wire(element.text), kPathLimit);
  } else if (name == "description") {
    settings->description = CutText(Wire(element.text), kLongTextLimit);
  } else if (name == "liveinfofile") {
    settings->live_info_file = CutText(element.text, kPathLimit);
  } else if (name == "pidfile") {
    settings->pid_file = CutText(element.text, kPathLimit);
  } else if (name == "rating") {
    ApplyRating(element, settings);
  } else if (name == "dirserver") {
    settings->directory_server = CutText(Wire(element.text), kPathLimit);
  } else if (name == "tls") {
    for (const auto& [attribute, value] : element.attributes) {
      if (attribute == "cert") settings->tls_certificate = CutText(value, kPathLimit);
      if (attribute == "key") settings->tls_key = CutText(value, kPathLimit);
    }
  } else if (name == "sound") {
    if (hooks != nullptr) {
      const std::string* source = element.Attribute("src");
      hooks->ReadSound(CutText(Wire(element.text), kSoundFieldLimit),
                       source != nullptr ? CutText(Wire(*source), kSoundFieldLimit)
                                         : std::string());
    }
  }
  // Elements nested in anything but a room count as if they stood at the
  // top level, after their parent.
  for (const Element& child : element.children) {
    ApplyElement(child, settings, hooks);
  }
}

// The elements of an older-form text, read to its end before anything is
// applied: a file that does not parse to its end is left for its owner to
// mend, not half applied and rewritten without the rest. Returns 0, or
// kFailed with *failure filled.
int ReadOlderElements(std::string_view text, std::vector<Element>* elements,
                      ReadFailure* failure) {
  MarkupReader reader(text);
  Element element;
  for (;;) {
    int result = reader.Next(&element);
    if (result == 0) break;
    if (result < 0) {
      failure->SetPlace(text, reader.error_offset());
      failure->message = reader.error();
      return kFailed;
    }
    // The older form holds text as clients sent it; from here on it is
    // what the XML form would give.
    elements->push_back(FileElement(element));
  }
  if (elements->empty()) {
    // Neither form: nothing here is a setting, and writing the defaults in
    // its place would lose whatever the owner meant it to hold.
    failure->message = "no XML declaration, and no element of the older format";
    return kFailed;
  }
  return kOk;
}

Element MakeElement(const char* name, std::string text) {
  Element element;
  element.name = name;
  element.text = std::move(text);
  return element;
}

// The site elements in the order they are written.
std::vector<Element> SiteElements(const Settings& settings) {
  std::vector<Element> elements;

  Element site = MakeElement("sitename", XmlFromWire(settings.site_name));
  site.SetAttribute("address", XmlFromWire(settings.bind_address));
  site.SetAttribute("port", std::to_string(settings.chat_port));
  if (!settings.directory_id.empty()) {
    site.SetAttribute("id", XmlFromWire(settings.directory_id));
  }
  if (settings.hidden()) site.SetAttribute("hidden", "yes");
  if (settings.site_capacity != 0) {
    site.SetAttribute("maxocc", std::to_string(settings.site_capacity));
  }
  if (settings.private_site) site.SetAttribute("private", "yes");
  if (settings.members_site) site.SetAttribute("members", "yes");
  // Only a port other than the usual one is worth recording; other readers
  // of the file ignore the attribute.
  if (settings.http_port != kDefaultHttpPort) {
    site.SetAttribute("httpport", std::to_string(settings.http_port));
  }
  if (!settings.listen_address.empty()) site.SetAttribute("listen", settings.listen_address);
  if (settings.https_port != 0) {
    site.SetAttribute("httpsport", std::to_string(settings.https_port));
  }
  if (!settings.trusted_proxies.empty()) {
    site.SetAttribute("trustedproxy", settings.trusted_proxies);
  }
  if (!settings.metrics_from.empty()) site.SetAttribute("metricsfrom", settings.metrics_from);
  elements.push_back(std::move(site));

  struct Pair {
    const char* name;
    const std::string& text;
    const std::string& source;
  };
  // The URL is a text that clients see; the source is a local path.
  for (const Pair& pair :
       {Pair{"propurl", settings.prop_url, settings.prop_dir},
        Pair{"baseurl", settings.base_url, settings.media_dir},
        Pair{"profileurl", settings.profile_url, settings.profile_file}}) {
    Element element = MakeElement(pair.name, XmlFromWire(pair.text));
    element.SetAttribute("src", pair.source);
    elements.push_back(std::move(element));
  }

  elements.push_back(MakeElement("siteurl", XmlFromWire(settings.site_url)));
  elements.push_back(MakeElement("cgipath", XmlFromWire(settings.cgi_path)));

  struct Optional {
    const char* name;
    const std::string& text;
    bool local_path;
  };
  for (const Optional& optional :
       {Optional{"siteimg", settings.site_image, false},
        Optional{"pidfile", settings.pid_file, true},
        Optional{"liveinfofile", settings.live_info_file, true},
        Optional{"description", settings.description, false}}) {
    if (!optional.text.empty()) {
      elements.push_back(MakeElement(
          optional.name, optional.local_path ? optional.text : XmlFromWire(optional.text)));
    }
  }

  if (settings.rating_present) {
    Element rating = MakeElement("rating", std::string());
    const char* const kRatingNames[] = {"nudity", "sex", "lang", "violence"};
    for (int i = 0; i < 4; ++i) {
      rating.SetAttribute(kRatingNames[i], std::to_string(settings.rating[i]));
    }
    elements.push_back(std::move(rating));
  }

  if (!settings.directory_server.empty()) {
    elements.push_back(MakeElement("dirserver", XmlFromWire(settings.directory_server)));
  }
  if (!settings.tls_certificate.empty() || !settings.tls_key.empty()) {
    Element tls = MakeElement("tls", std::string());
    tls.SetAttribute("cert", settings.tls_certificate);
    tls.SetAttribute("key", settings.tls_key);
    elements.push_back(std::move(tls));
  }
  return elements;
}

int BuildDocument(const Settings& settings, ConfigHooks* hooks,
                  std::string* out) {
  std::vector<Element> elements = SiteElements(settings);
  if (hooks != nullptr) {
    std::vector<Element> owned;
    hooks->WriteSounds(&owned);
    hooks->WriteRooms(&owned);
    for (const Element& element : owned) elements.push_back(FileElement(element));
  }
  return BuildXmlDocument(kRootName, kNamespaceUri, elements, out);
}

}  // namespace

const std::string* Element::Attribute(const std::string& attribute_name) const {
  for (const auto& [key, value] : attributes) {
    if (key == attribute_name) return &value;
  }
  return nullptr;
}

void Element::SetAttribute(std::string attribute_name, std::string value) {
  for (auto& [key, existing] : attributes) {
    if (key == attribute_name) {
      existing = std::move(value);
      return;
    }
  }
  attributes.emplace_back(std::move(attribute_name), std::move(value));
}

int ParseNumber(const std::string& text) {
  constexpr std::int64_t kMaxMagnitude = 2147483647;  // INT_MAX
  std::size_t pos = 0;
  while (pos < text.size() && std::string_view(" \t\n\v\f\r").find(text[pos]) !=
                                  std::string_view::npos) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // One more magnitude fits below zero than above it.
  const std::int64_t limit = negative ? kMaxMagnitude + 1 : kMaxMagnitude;
  std::int64_t value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    if (value >= limit) {
      value = limit;
      break;
    }
    ++pos;
  }
  return static_cast<int>(negative ? -value : value);
}

int ReadConfiguration(const std::string& path, Settings* settings,
                      ConfigHooks* hooks, ReadFailure* failure, bool* older_form) {
  if (settings == nullptr) return kParamErr;
  if (older_form != nullptr) *older_form = false;
  ReadFailure unused;
  if (failure == nullptr) failure = &unused;
  *failure = ReadFailure();
  failure->path = path;
  // These three are only ever set by the file, so a file without them must
  // not inherit values from an earlier reading.
  settings->profile_file.clear();
  settings->profile_url.clear();
  settings->cgi_path.clear();

  std::string contents;
  int rc = platform::ReadWholeFile(path, &contents);
  if (rc != 0) {
    failure->message = std::strerror(rc);
    return rc;
  }

  // The text ends at the first NUL byte, if any. A leading UTF-8 byte order
  // mark, as some editors add, does not hide the XML declaration.
  std::string_view text(contents);
  text = text.substr(0, text.find('\0'));
  if (text.starts_with(kUtf8Mark)) text.remove_prefix(kUtf8Mark.size());

  std::vector<Element> elements;
  const bool older = !text.starts_with(kXmlStart);
  if (older) {
    if (int status = ReadOlderElements(text, &elements, failure); status != kOk) return status;
  } else {
    XmlDocPtr doc = ParseXml(text, failure);
    if (doc == nullptr) return kFailed;
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr || FromXml(root->name) != kRootName) {
      // Some other document: applying nothing and writing the defaults
      // over it would lose it.
      if (root != nullptr) failure->line = static_cast<int>(xmlGetLineNo(root));
      failure->message = "the root element is not <zanthd>";
      return kFailed;
    }
    for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
      if (node->type == XML_ELEMENT_NODE) elements.push_back(ElementFromNode(node));
    }
  }
  for (const Element& element : elements) ApplyElement(element, settings, hooks);
  if (older_form != nullptr) *older_form = older;
  return kOk;
}

int WriteConfiguration(const std::string& path, const Settings& settings,
                       ConfigHooks* hooks) {
  std::string text;
  int rc = BuildDocument(settings, hooks, &text);
  if (rc != kOk) {
    LogError(rc, "writing configuration file %s", path.c_str());
    return rc;
  }
  // One generation back is kept, so that a change the owner regrets (or a
  // file read in a way the owner did not expect) can be undone by hand. A
  // write that changes nothing keeps that generation as it is.
  std::string previous;
  rc = platform::ReadWholeFile(path, &previous);
  if (rc == 0) {
    if (previous == text) return kOk;
    rc = platform::WriteFileAtomically(path + ".bak", previous);
    if (rc != 0) {
      LogError(rc, "keeping configuration file %s.bak", path.c_str());
      return rc;
    }
  } else if (rc != ENOENT) {
    LogError(rc, "reading configuration file %s before writing it", path.c_str());
    return rc;
  }
  rc = platform::WriteFileAtomically(path, text);
  if (rc != kOk) {
    LogError(rc, "writing configuration file %s", path.c_str());
  }
  return rc;
}

}  // namespace zanth::config

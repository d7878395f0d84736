// Request origins behind reverse proxies.
#include "http/client_address.h"

#include <algorithm>

#include "platform/socket.h"

namespace zanth::http {
namespace {

constexpr std::string_view kForwardedFor = "x-forwarded-for";

std::string_view Trim(std::string_view text) {
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

bool NameIs(std::string_view name, std::string_view lower) {
  if (name.size() != lower.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// An entry without its port: "[v6]:port" and "[v6]" lose the brackets,
// "v4:port" the port; a bare IPv6 address has more than one colon and stays.
std::string_view WithoutPort(std::string_view entry) {
  if (entry.starts_with('[')) {
    std::size_t close = entry.find(']');
    return close == std::string_view::npos ? entry : entry.substr(1, close - 1);
  }
  std::size_t colon = entry.find(':');
  if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
    return entry.substr(0, colon);
  }
  return entry;
}

}  // namespace

bool AddressList::Set(const std::string& text) {
  if (text == text_) return false;
  text_ = text;
  addresses_.clear();
  rejected_.clear();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t start = text.find_first_not_of(", \t\r\n", pos);
    if (start == std::string::npos) break;
    std::size_t end = text.find_first_of(", \t\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    std::string canonical;
    if (platform::CanonicalAddress(entry, &canonical)) {
      addresses_.push_back(canonical);
    } else {
      rejected_.push_back(entry);
    }
    pos = end;
  }
  return true;
}

bool AddressList::Contains(const std::string& address) const {
  return !address.empty() &&
         std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}

bool IsLoopback(const std::string& address) {
  return address.starts_with("127.") || address == "::1";
}

Forwarded ForwardedFor(std::string_view head, std::string* address) {
  std::string_view last;
  bool found = false;
  // The request line first, then one header a line.
  std::size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    std::size_t start = pos + 1;
    std::size_t end = head.find('\n', start);
    std::string_view line =
        head.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the end of the head
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && NameIs(line.substr(0, colon), kForwardedFor)) {
      last = line.substr(colon + 1);
      found = true;
    }
    pos = end;
  }
  if (!found) return Forwarded::kAbsent;
  std::size_t comma = last.rfind(',');
  std::string_view entry =
      WithoutPort(Trim(comma == std::string_view::npos ? last : last.substr(comma + 1)));
  return platform::CanonicalAddress(std::string(entry), address) ? Forwarded::kAddress
                                                                 : Forwarded::kInvalid;
}

}  // namespace zanth::http

// Who a request comes from: the connection's peer or, behind a reverse
// proxy the site trusts, the visitor's address the proxy forwards; and the
// address lists of the configuration that say whom to trust.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zanth::http {

// A list of addresses as the configuration writes it: IPv4 or IPv6
// addresses apart by commas or blanks.
class AddressList {
 public:
  // Parses text when it differs from the text parsed last; returns true
  // when it did.
  bool Set(const std::string& text);
  // address in the canonical form of platform::CanonicalAddress, as peer
  // addresses are.
  bool Contains(const std::string& address) const;
  // The entries of the text that are no address, for a log line.
  const std::vector<std::string>& rejected() const { return rejected_; }

 private:
  std::string text_;
  std::vector<std::string> addresses_;  // canonical
  std::vector<std::string> rejected_;
};

// True for 127.0.0.0/8 and ::1.
bool IsLoopback(const std::string& address);

enum class Forwarded {
  kAbsent,   // no X-Forwarded-For header
  kAddress,  // *address is the visitor's, canonical
  kInvalid,  // the last entry is no address
};

// The visitor that a proxy names in a request head: the last entry of the
// last X-Forwarded-For header, the one the proxy nearest this server
// appended (earlier entries are whatever the visitor chose to send). The
// whole head is read, however long its lines; a port after the address
// ("1.2.3.4:5678", "[2001:db8::1]:443") is dropped.
Forwarded ForwardedFor(std::string_view head, std::string* address);

}  // namespace zanth::http

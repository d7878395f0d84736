// The configuration file "zanth.conf": site settings, and the room and sound
// elements that the room registry and the sound list read and write through
// ConfigHooks. Read once at start; rewritten whole after every change.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "config/read_failure.h"
#include "config/settings.h"

namespace zanth::config {

// One element of the file, independent of the format it was read from.
// Hooks see texts and values as clients send them (see WireFromXml).
struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  // Reading: the concatenated text of the element and all its descendants.
  // Writing: the element's own text, written before its children.
  std::string text;
  std::vector<Element> children;

  // The value of an attribute, or nullptr when absent.
  const std::string* Attribute(const std::string& attribute_name) const;
  void SetAttribute(std::string attribute_name, std::string value);
};

// The parts of the file that other subsystems own.
class ConfigHooks {
 public:
  virtual ~ConfigHooks() = default;
  // A "room" element, in file order. The hook creates the room and its loose
  // props and logs its own failure.
  virtual void ReadRoom(const Element& room) = 0;
  // A "sound" element: name and file, each already cut to 32 characters.
  virtual void ReadSound(const std::string& name, const std::string& file) = 0;
  // Appends one "sound" element per sound, in sound-list order.
  virtual void WriteSounds(std::vector<Element>* out) = 0;
  // Appends one "room" element per room, in registry order.
  virtual void WriteRooms(std::vector<Element>* out) = 0;
};

// Reads the file at path into settings; rooms and sounds go to hooks (which
// may be nullptr). Texts that clients see are read back to the bytes they
// had when written (WireFromXml); local paths stay UTF-8. Returns:
//   0        the file was read, even if nothing in it was usable;
//   ENOENT   there is no file (the only case for setting up a new site);
//   another system error: the file exists but cannot be read;
//   kFailed  the file cannot be read to its end: an XML error of any kind,
//            a root element other than "zanthd", older-form text that does
//            not parse, or text with no element of either form.
// For every result but 0 and ENOENT, *failure (may be nullptr) says where
// and why, and nothing from the file has been applied or written (the
// profile page, profile URL and CGI path are cleared in every case, as
// before any reading). Nothing is written: for a file in the older markup
// format that reads to its end *older_form (may be nullptr) is set, and the
// caller writes it as XML once it has filled in what the file lacked, so
// that the one rewrite keeps the older file as the ".bak".
[[nodiscard]] int ReadConfiguration(const std::string& path, Settings* settings,
                                    ConfigHooks* hooks, ReadFailure* failure = nullptr,
                                    bool* older_form = nullptr);

// Builds the document from settings and hooks and replaces the file at path
// atomically. The file it replaces is kept first as path + ".bak" (one
// generation, itself replaced atomically); when the document is the same
// as the file, nothing is written. A failure is logged and leaves the
// previous file intact. Returns 0 or the system error.
int WriteConfiguration(const std::string& path, const Settings& settings,
                       ConfigHooks* hooks);

// Reads a decimal number the way every number in the file is read: leading
// white space and a sign allowed, reading stops at the first non-digit, no
// digits give 0. The result saturates at the range of int.
int ParseNumber(const std::string& text);

}  // namespace zanth::config

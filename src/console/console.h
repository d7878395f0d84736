// The terminal console: a full-screen interface with the log view, the
// status band, the menu and the options dialog, shown when the server runs
// on a terminal. The server sees it only through Console, and the console
// sees the server only through ConsoleHost, which the program implements.
#pragma once

#include <memory>
#include <string_view>

#include "config/settings.h"

namespace zanth::console {

// What the console needs of the server it shows.
class ConsoleHost {
 public:
  virtual ~ConsoleHost() = default;
  // The site settings the status band shows and the options dialog edits.
  virtual Settings& settings() = 0;
  // Rewrites the configuration file after the options dialog changed it.
  virtual void SaveConfiguration() = 0;
  // The text built into the program of that type and number (the window
  // template is "WIND" 1400), or an empty view when there is none.
  virtual std::string_view Resource(const char* type, int number) = 0;
  // String number from the program's string table (1400 to 1404: the
  // labels of the status band), or an empty view.
  virtual std::string_view ResourceString(int number) = 0;
};

// The console as start-up and the main loop see it.
class Console {
 public:
  virtual ~Console() = default;
  // A descriptor that becomes readable when input waits; the main loop's
  // wait wakes for it. -1 for none.
  virtual int input_descriptor() const = 0;
  // Handles the waiting keys and mouse events and repaints what changed.
  // Runs after every round of polls. May block while a modal dialog is
  // open, which pauses the polls.
  virtual void HandleInput() = 0;
};

// Takes over the terminal for host: draws the screen, sets the terminal's
// title from the window template, registers the log view's line sink and
// makes a hang-up of the terminal quit the server. Returns nullptr (having
// logged why) when the template is missing or the terminal cannot be used.
// The terminal is given back when the console goes, and at process exit if
// it never does (a fatal error). host must outlive the console.
std::unique_ptr<Console> CreateTerminalConsole(ConsoleHost& host);

}  // namespace zanth::console

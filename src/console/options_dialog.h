// The modal options dialog for the site name, address and ports, and the
// message boxes of the console.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "console/screen.h"

namespace zanth::console {

struct OptionsDialogHooks {
  // Draws the console under the dialog, without sending it to the
  // terminal: the dialog draws itself over it first.
  std::function<void()> draw_behind;
  // Writes the configuration file from the settings in memory.
  std::function<void()> save_configuration;
};

// Runs the options dialog until "Save", "Cancel" (or Escape) or a quit
// request, reading keys itself: the server's polls do not run meanwhile.
// "Save" applies the rules of SaveOptions to *settings, writes the
// configuration when anything changed and, when a restart is needed, shows
// the restart notice until it is acknowledged. clipboard serves the fields'
// cut, copy and paste.
void RunOptionsDialog(Screen& screen, Settings* settings, std::string* clipboard,
                      const OptionsDialogHooks& hooks);

// Draws a message box with a title, centred lines and an "OK" button in the
// middle of the screen.
void DrawMessageBox(Screen& screen, std::string_view title,
                    std::span<const std::string_view> lines);

// True for the keys and clicks that dismiss a message box.
bool DismissesMessageBox(const KeyEvent& event);

}  // namespace zanth::console

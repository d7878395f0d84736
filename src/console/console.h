// The terminal console: a full-screen interface with the log view, the
// status band, the menu and the options dialog, shown when the server runs
// on a terminal.
#pragma once

#include <memory>

#include "app/server.h"

namespace zanth::console {

// Takes over the terminal for server: draws the screen, sets the terminal's
// title from the window template, registers the log view's line sink and
// makes a hang-up of the terminal quit the server. Returns nullptr (having
// logged why) when the template is missing or the terminal cannot be used.
// The terminal is given back when the console goes, and at process exit if
// it never does (a fatal error).
std::unique_ptr<ServerConsole> CreateTerminalConsole(Server& server);

}  // namespace zanth::console

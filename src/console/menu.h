// The console's menu bar ("IDR_MENU1"): its menus, items and command
// numbers, and the state of a menu being browsed with keys or the mouse.
#pragma once

#include <cstddef>
#include <span>

namespace zanth::console {

// Command numbers of the menu items.
enum Command : int {
  kCommandNone = 0,
  kCommandAbout = 1,
  kCommandExit = 15,
  kCommandCut = 17,
  kCommandCopy = 18,
  kCommandPaste = 19,
  kCommandOptions = 30,
  kCommandMakerSite = 51,
  kCommandManual = 52,
};

struct MenuItem {
  const char* label;  // nullptr: a separator
  char hotkey;        // lower case; chooses the item while its menu is open
  int command;
  const char* shortcut;  // shown right-aligned, or nullptr
  bool enabled;          // disabled items show dimmed and do nothing here
};

struct Menu {
  const char* title;
  char hotkey;
  std::span<const MenuItem> items;
};

inline constexpr char kMenuName[] = "IDR_MENU1";
inline constexpr char kMakerSiteAddress[] = "https://www.zanthworks.example/";
inline constexpr char kManualAddress[] = "https://www.zanthworks.example/manual/";

std::span<const Menu> MenuBar();

// Which menu is open and which of its items is chosen.
class MenuState {
 public:
  bool open() const { return open_; }
  std::size_t menu() const { return menu_; }
  std::size_t item() const { return item_; }

  // Opens menu number menu with its first usable item chosen.
  void Open(std::size_t menu);
  void Close() { open_ = false; }
  // Left and right go to the neighbouring menu, wrapping around.
  void NextMenu(int step);
  // Up and down go to the neighbouring usable item, wrapping around.
  void NextItem(int step);
  // The command of the chosen item, kCommandNone for a disabled one.
  int ChosenCommand() const;
  // The command of the open menu's item with hotkey, or kCommandNone.
  int CommandForHotkey(char hotkey) const;

 private:
  bool open_ = false;
  std::size_t menu_ = 0;
  std::size_t item_ = 0;
};

}  // namespace zanth::console

// The menu bar and its browsing state.
#include "console/menu.h"

namespace zanth::console {
namespace {

// The menu bar is shown on the main screen only, so an item shows a
// shortcut only when the shortcut works there: Ctrl+C stops the server, as
// it does in any terminal program. Cut, Copy and Paste edit the options
// dialog's fields, which list their own shortcuts; the log view has
// nothing to edit, so here they stay dimmed and without shortcuts.
constexpr MenuItem kFileItems[] = {
    {"Exit", 'x', kCommandExit, "Ctrl+C", true},
};
constexpr MenuItem kEditItems[] = {
    {"Cut", 't', kCommandCut, nullptr, false},
    {"Copy", 'c', kCommandCopy, nullptr, false},
    {"Paste", 'p', kCommandPaste, nullptr, false},
    {nullptr, 0, kCommandNone, nullptr, false},
    {"Options...", 'o', kCommandOptions, nullptr, true},
};
constexpr MenuItem kHelpItems[] = {
    {"About The Zanth", 'a', kCommandAbout, nullptr, true},
    {nullptr, 0, kCommandNone, nullptr, false},
    {"Zanth Works on the Web...", 'w', kCommandMakerSite, nullptr, true},
    {"The Zanth Manual...", 'm', kCommandManual, nullptr, true},
};
constexpr Menu kMenus[] = {
    {"File", 'f', kFileItems},
    {"Edit", 'e', kEditItems},
    {"Help", 'h', kHelpItems},
};

bool Usable(const MenuItem& item) { return item.label != nullptr && item.enabled; }

}  // namespace

std::span<const Menu> MenuBar() { return kMenus; }

void MenuState::Open(std::size_t menu) {
  open_ = true;
  menu_ = menu % std::size(kMenus);
  item_ = kMenus[menu_].items.size() - 1;
  NextItem(1);
}

void MenuState::NextMenu(int step) {
  std::size_t count = std::size(kMenus);
  Open(step > 0 ? menu_ + 1 : menu_ + count - 1);
}

void MenuState::NextItem(int step) {
  std::span<const MenuItem> items = kMenus[menu_].items;
  std::size_t count = items.size();
  std::size_t forward = step > 0 ? 1 : count - 1;
  // Every menu has a usable item, so the walk ends within one round.
  for (std::size_t i = 0; i < count; ++i) {
    item_ = (item_ + forward) % count;
    if (Usable(items[item_])) return;
  }
}

int MenuState::ChosenCommand() const {
  const MenuItem& item = kMenus[menu_].items[item_];
  return Usable(item) ? item.command : kCommandNone;
}

int MenuState::CommandForHotkey(char hotkey) const {
  for (const MenuItem& item : kMenus[menu_].items) {
    if (Usable(item) && item.hotkey == hotkey) return item.command;
  }
  return kCommandNone;
}

}  // namespace zanth::console

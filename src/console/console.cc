// The terminal console.
#include "console/console.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/settings.h"
#include "console/log_view.h"
#include "console/menu.h"
#include "console/options_dialog.h"
#include "console/screen.h"
#include "console/window_template.h"
#include "core/log.h"
#include "platform/process.h"

namespace zanth::console {
namespace {

// The status band: a rule, the version, then four labelled settings, and a
// fifth, the HTTPS port, when the site has one.
constexpr int kBandRows = 6;
constexpr int kFirstLabel = 1400;  // string table 1400-1404
constexpr int kLabelCount = 5;
// Keys handled per round, so that a flood of input cannot hold up the polls;
// what is left wakes the next round.
constexpr int kKeysPerRound = 64;
constexpr std::string_view kMenuHint = "F10: menu";

class TerminalConsole;
TerminalConsole* active_console = nullptr;

// A box over the main screen until dismissed; the server keeps running.
struct MessageBox {
  std::string_view title;
  std::vector<std::string_view> lines;  // texts built into the program
};

class TerminalConsole : public Console {
 public:
  TerminalConsole(ConsoleHost& host, std::unique_ptr<Screen> screen, WindowTemplate window)
      : host_(host), screen_(std::move(screen)), window_(std::move(window)) {
    menu_bar_ = window_.menu_name == kMenuName;
    for (int i = 0; i < kLabelCount; ++i) labels_[i] = host_.ResourceString(kFirstLabel + i);
    active_console = this;
    screen_->SetTitle(window_.title);
    Logger& logger = GetLogger();
    // Echoed lines would scribble over the screen, and the log view shows
    // them all anyway.
    logger.set_echo(false);
    logger.SetSink([this](const std::string& line) {
      store_.Append(line);
      dirty_ = true;
    });
    platform::QuitOnHangup();
    Paint();
  }

  ~TerminalConsole() override {
    GetLogger().SetSink(nullptr);
    active_console = nullptr;
  }

  // The newest line, for the process-exit path where the screen vanishes.
  std::string LastLine() const {
    std::vector<std::string_view> lines = store_.NewestLines(1);
    return lines.empty() ? std::string() : std::string(lines.back());
  }

  int input_descriptor() const override { return 0; }  // the standard input

  void HandleInput() override {
    for (int i = 0; i < kKeysPerRound && !platform::QuitRequested(); ++i) {
      KeyEvent event = screen_->ReadKey(0);
      if (event.key == kNoKey) break;
      OnKey(event);
      dirty_ = true;
    }
    // Settings can change under the band (a client may rename the site).
    std::string band = BandValues();
    if (dirty_ || band != painted_band_) Paint();
  }

 private:
  std::string BandValues() const {
    const Settings& s = host_.settings();
    return s.site_name + '\0' + s.bind_address + '\0' + std::to_string(s.chat_port) + '\0' +
           std::to_string(s.http_port) + '\0' + std::to_string(s.https_port);
  }

  // The menu bar's titles sit one column in, each padded by a blank.
  int MenuTitleCol(std::size_t menu) const {
    int col = 1;
    for (std::size_t i = 0; i < menu; ++i) {
      col += static_cast<int>(std::string_view(MenuBar()[i].title).size()) + 2;
    }
    return col;
  }

  int MenuWidth(const Menu& menu) const {
    std::size_t widest = 0;
    for (const MenuItem& item : menu.items) {
      if (item.label == nullptr) continue;
      std::size_t width = std::string_view(item.label).size();
      if (item.shortcut != nullptr) width += 2 + std::string_view(item.shortcut).size();
      widest = std::max(widest, width);
    }
    return static_cast<int>(widest) + 4;
  }

  void Paint() {
    Draw();
    screen_->PlaceCursor(-1, 0);
    screen_->Present();
  }

  // Draws the whole screen without sending it, so that a dialog can draw
  // over it first.
  void Draw() {
    Screen& s = *screen_;
    int rows = s.rows();
    int cols = s.cols();
    s.Erase();
    int top = menu_bar_ ? 1 : 0;
    const Settings& settings = host_.settings();
    int shown = settings.https_port != 0 ? kLabelCount : kLabelCount - 1;
    int band_rows = std::min(kBandRows + shown - 4, std::max(0, rows - top));
    int band_top = rows - band_rows;

    // The log view: the newest lines that fit, the newest just above the band.
    int log_rows = std::max(0, band_top - top);
    std::vector<std::string_view> lines = store_.NewestLines(static_cast<std::size_t>(log_rows));
    int row = band_top - static_cast<int>(lines.size());
    for (std::string_view line : lines) s.Text(row++, 0, line, Role::kNormal);

    if (band_rows > 0) {
      s.Band(band_top, band_rows);
      std::string_view version = kServerVersion;
      s.BandText(band_top + 1, std::max(0, (cols - static_cast<int>(version.size())) / 2), version);
      const std::string values[kLabelCount] = {
          settings.site_name, settings.bind_address, std::to_string(settings.chat_port),
          std::to_string(settings.http_port), std::to_string(settings.https_port)};
      std::size_t label_width = 0;
      for (std::string_view label : labels_) label_width = std::max(label_width, label.size());
      for (int i = 0; i < shown; ++i) {
        int r = band_top + 2 + i;
        s.BandText(r, 2, labels_[i]);
        s.BandText(r, 3 + static_cast<int>(label_width), values[i]);
      }
    }
    painted_band_ = BandValues();

    if (menu_bar_) DrawMenu();
    if (box_) DrawMessageBox(s, box_->title, box_->lines);
    dirty_ = false;
  }

  void DrawMenu() {
    Screen& s = *screen_;
    s.Text(0, 0, "", Role::kMenuBar, s.cols());
    std::span<const Menu> menus = MenuBar();
    for (std::size_t i = 0; i < menus.size(); ++i) {
      bool open = menu_.open() && menu_.menu() == i;
      s.Text(0, MenuTitleCol(i) - 1, " " + std::string(menus[i].title) + " ",
             open ? Role::kHighlight : Role::kMenuBar);
    }
    int hint_col = s.cols() - static_cast<int>(kMenuHint.size()) - 1;
    if (hint_col > MenuTitleCol(menus.size())) s.Text(0, hint_col, kMenuHint, Role::kMenuBar);
    if (!menu_.open()) return;

    const Menu& menu = menus[menu_.menu()];
    int left = MenuTitleCol(menu_.menu()) - 1;
    int width = MenuWidth(menu);
    s.Frame(1, left, static_cast<int>(menu.items.size()) + 2, width, Role::kBox);
    for (std::size_t i = 0; i < menu.items.size(); ++i) {
      const MenuItem& item = menu.items[i];
      int row = 2 + static_cast<int>(i);
      if (item.label == nullptr) {
        s.Rule(row, left + 1, width - 2, Role::kBox);
        continue;
      }
      Role role = i == menu_.item() ? Role::kHighlight : Role::kBox;
      std::string text = " " + std::string(item.label);
      if (item.shortcut != nullptr) {
        std::string_view shortcut = item.shortcut;
        text.resize(static_cast<std::size_t>(width - 3) - shortcut.size(), ' ');
        text += shortcut;
      }
      s.Text(row, left + 1, text, role, width - 2, !item.enabled);
    }
  }

  void OnKey(const KeyEvent& event) {
    // The terminal's habits: in raw mode its Ctrl+C and Ctrl+Z no longer
    // send signals, so the console does what they would. (In the options
    // dialog's fields they copy and undo instead, and Ctrl+X and Ctrl+V cut
    // and paste; the log view has nothing to edit.)
    if (event.key == CtrlKey('C')) {
      platform::RequestQuit();
      return;
    }
    if (box_) {
      if (DismissesMessageBox(event)) box_.reset();
      return;
    }
    if (event.key == kKeyClick) {
      OnClick(event.row, event.col);
      return;
    }
    if (menu_.open()) {
      OnMenuKey(event.key);
      return;
    }
    switch (event.key) {
      case kKeyF10:
        if (menu_bar_) menu_.Open(0);
        break;
      case CtrlKey('Z'):
        platform::SuspendProcess();
        screen_->Invalidate();
        break;
      case kKeyResize:
        screen_->Invalidate();
        break;
      default:
        break;
    }
  }

  void OnMenuKey(int key) {
    switch (key) {
      case kKeyLeft:
        menu_.NextMenu(-1);
        return;
      case kKeyRight:
        menu_.NextMenu(1);
        return;
      case kKeyUp:
        menu_.NextItem(-1);
        return;
      case kKeyDown:
        menu_.NextItem(1);
        return;
      case kKeyEnter:
      case ' ':
        Choose(menu_.ChosenCommand());
        return;
      case kKeyEscape:
      case kKeyF10:
        menu_.Close();
        return;
      default:
        break;
    }
    if (key < 0 || key >= 0x100) return;
    char letter = static_cast<char>(std::tolower(key));
    if (int command = menu_.CommandForHotkey(letter); command != kCommandNone) {
      Choose(command);
      return;
    }
    std::span<const Menu> menus = MenuBar();
    for (std::size_t i = 0; i < menus.size(); ++i) {
      if (menus[i].hotkey == letter) menu_.Open(i);
    }
  }

  void OnClick(int row, int col) {
    if (!menu_bar_) return;
    std::span<const Menu> menus = MenuBar();
    if (row == 0) {
      for (std::size_t i = 0; i < menus.size(); ++i) {
        int start = MenuTitleCol(i) - 1;
        int end = start + static_cast<int>(std::string_view(menus[i].title).size()) + 2;
        if (col < start || col >= end) continue;
        if (menu_.open() && menu_.menu() == i) {
          menu_.Close();
        } else {
          menu_.Open(i);
        }
        return;
      }
      menu_.Close();
      return;
    }
    if (!menu_.open()) return;
    const Menu& menu = menus[menu_.menu()];
    int left = MenuTitleCol(menu_.menu()) - 1;
    int item = row - 2;
    if (col > left && col < left + MenuWidth(menu) - 1 && item >= 0 &&
        item < static_cast<int>(menu.items.size())) {
      const MenuItem& chosen = menu.items[static_cast<std::size_t>(item)];
      if (chosen.label != nullptr && chosen.enabled) Choose(chosen.command);
      return;  // a click on a separator or a dimmed item keeps the menu open
    }
    menu_.Close();
  }

  void Choose(int command) {
    if (command == kCommandNone) return;
    menu_.Close();
    switch (command) {
      case kCommandExit:
        platform::RequestQuit();
        break;
      case kCommandOptions:
        RunOptions();
        break;
      case kCommandAbout:
        box_ = MessageBox{"About The Zanth", {kServerVersion}};
        break;
      case kCommandMakerSite:
        // A server's terminal has no browser to hand the address to.
        box_ = MessageBox{"Zanth Works on the Web", {"Open in a web browser:", kMakerSiteAddress}};
        break;
      case kCommandManual:
        box_ = MessageBox{"The Zanth Manual", {"Open in a web browser:", kManualAddress}};
        break;
      default:
        break;
    }
  }

  void RunOptions() {
    OptionsDialogHooks hooks;
    hooks.draw_behind = [this] { Draw(); };
    hooks.save_configuration = [this] { host_.SaveConfiguration(); };
    RunOptionsDialog(*screen_, &host_.settings(), &clipboard_, hooks);
  }

  ConsoleHost& host_;
  std::unique_ptr<Screen> screen_;
  WindowTemplate window_;
  bool menu_bar_ = false;
  std::string_view labels_[kLabelCount];
  LogViewStore store_;
  MenuState menu_;
  std::optional<MessageBox> box_;
  std::string clipboard_;
  std::string painted_band_;
  bool dirty_ = true;
};

// At exit with the console still up (a fatal error ends the process from
// anywhere): give the terminal back and repeat the last line where it stays.
void RestoreAtExit() {
  if (active_console == nullptr) return;
  std::string last = active_console->LastLine();
  Screen::RestoreTerminal();
  if (!last.empty()) std::fprintf(stderr, "zanthd: %s\n", last.c_str());
}

}  // namespace

std::unique_ptr<Console> CreateTerminalConsole(ConsoleHost& host) {
  WindowTemplate window;
  if (!ParseWindowTemplate(host.Resource("WIND", kConsoleTemplateNumber), &window)) {
    LogError(0, "Console window template %d missing", kConsoleTemplateNumber);
    return nullptr;
  }
  std::unique_ptr<Screen> screen = Screen::Open();
  if (screen == nullptr) {
    LogError(0, "Cannot use the terminal for the console");
    return nullptr;
  }
  static bool exit_hook = false;
  if (!exit_hook) {
    exit_hook = std::atexit(RestoreAtExit) == 0;
  }
  return std::make_unique<TerminalConsole>(host, std::move(screen), std::move(window));
}

}  // namespace zanth::console

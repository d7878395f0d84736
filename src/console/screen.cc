// The terminal under the console, drawn with curses.
#include "console/screen.h"

#include <curses.h>
#include <term.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"
#include "platform/process.h"

namespace zanth::console {
namespace {

SCREEN* the_screen = nullptr;
bool terminal_taken = false;
bool title_pushed = false;

// Colour pairs. The band has one pair per shade for its text and one for
// its rule.
constexpr short kPairMenuBar = 1;
constexpr short kPairHighlight = 2;
constexpr short kPairBox = 3;
constexpr short kPairField = 4;
constexpr short kPairBandText = 10;
constexpr short kPairBandRule = 30;
constexpr int kMaxShades = 8;

// Greys of the 256-colour palette: the band's fill and then darker tones
// towards its right edge.
constexpr short kBandGreys[kMaxShades] = {255, 254, 253, 252, 251, 250, 249, 248};
constexpr short kRuleGrey = 243;

// Terminals known to take a title through the xterm "OSC 2" sequence and
// to keep a stack of titles, so the old one comes back when we leave.
bool KnownTitleTerminal() {
  const char* term = std::getenv("TERM");
  if (term == nullptr) return false;
  for (const char* prefix : {"xterm", "screen", "tmux", "rxvt", "alacritty", "foot", "kitty", "vte",
                             "gnome", "konsole", "putty"}) {
    if (std::strncmp(term, prefix, std::strlen(prefix)) == 0) return true;
  }
  return false;
}

bool HasCapability(const char* text) {
  // tigetstr answers (char*)-1 for a name that is not a string capability.
  return text != nullptr && reinterpret_cast<std::intptr_t>(text) != -1;
}

std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return out;
}

attr_t Pair(short pair) { return static_cast<attr_t>(COLOR_PAIR(pair)); }

}  // namespace

std::unique_ptr<Screen> Screen::Open() {
  if (terminal_taken) return nullptr;
  the_screen = newterm(nullptr, stdout, stdin);
  if (the_screen == nullptr) return nullptr;
  terminal_taken = true;
  std::unique_ptr<Screen> screen(new Screen());
  // Raw rather than cbreak: the console gives Ctrl+C, Ctrl+Z, Ctrl+X and
  // Ctrl+V meanings of its own instead of the terminal's signals.
  raw();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED, nullptr);
  // Presses are reported at once instead of waiting to become clicks.
  mouseinterval(0);
  screen->SetUpColours();
  return screen;
}

Screen::~Screen() {
  RestoreTerminal();
  if (the_screen != nullptr) {
    delscreen(the_screen);
    the_screen = nullptr;
  }
}

void Screen::RestoreTerminal() {
  if (!terminal_taken) return;
  terminal_taken = false;
  endwin();
  if (title_pushed) {
    std::fputs("\033[23;0t", stdout);
    std::fflush(stdout);
    title_pushed = false;
  }
}

void Screen::SetUpColours() {
  if (!has_colors() || start_color() != OK) return;
  colour_ = true;
  use_default_colors();
  if (COLORS >= 256) {
    init_pair(kPairMenuBar, COLOR_BLACK, 252);
    init_pair(kPairBox, COLOR_BLACK, 255);
    band_shades_ = kMaxShades;
    for (int i = 0; i < kMaxShades; ++i) {
      init_pair(static_cast<short>(kPairBandText + i), 16, kBandGreys[i]);
      init_pair(static_cast<short>(kPairBandRule + i), kRuleGrey, kBandGreys[i]);
    }
  } else {
    init_pair(kPairMenuBar, COLOR_BLACK, COLOR_WHITE);
    init_pair(kPairBox, COLOR_BLACK, COLOR_WHITE);
    band_shades_ = 1;
    init_pair(kPairBandText, COLOR_BLACK, COLOR_WHITE);
    init_pair(kPairBandRule, COLOR_BLUE, COLOR_WHITE);
  }
  init_pair(kPairHighlight, COLOR_WHITE, COLOR_BLUE);
  init_pair(kPairField, COLOR_BLACK, COLOR_CYAN);
}

int Screen::rows() const { return LINES; }
int Screen::cols() const { return COLS; }

void Screen::SetTitle(std::string_view title) {
  std::string text = Printable(title);
  const char* to_status = tigetstr("tsl");
  const char* from_status = tigetstr("fsl");
  if (HasCapability(to_status) && HasCapability(from_status)) {
    putp(tiparm(to_status, 0));
    std::fputs(text.c_str(), stdout);
    putp(from_status);
  } else if (KnownTitleTerminal()) {
    if (!title_pushed) std::fputs("\033[22;0t", stdout);
    title_pushed = true;
    std::fputs("\033]2;", stdout);
    std::fputs(text.c_str(), stdout);
    std::fputs("\007", stdout);
  }
  std::fflush(stdout);
}

void Screen::Erase() { erase(); }

namespace {

attr_t RoleAttr(Role role, bool colour) {
  if (!colour) {
    switch (role) {
      case Role::kNormal:
        return A_NORMAL;
      case Role::kMenuBar:
        return A_REVERSE;
      case Role::kHighlight:
        return A_BOLD | A_UNDERLINE;
      case Role::kBox:
        return A_NORMAL;
      case Role::kField:
        return A_UNDERLINE;
    }
    return A_NORMAL;
  }
  switch (role) {
    case Role::kNormal:
      return A_NORMAL;
    case Role::kMenuBar:
      return Pair(kPairMenuBar);
    case Role::kHighlight:
      return Pair(kPairHighlight);
    case Role::kBox:
      return Pair(kPairBox);
    case Role::kField:
      return Pair(kPairField);
  }
  return A_NORMAL;
}

}  // namespace

void Screen::Text(int row, int col, std::string_view text, Role role, int width, bool dim) {
  if (row < 0 || row >= LINES || col < 0 || col >= COLS) return;
  int room = COLS - col;
  if (width >= 0 && width < room) room = width;
  std::string shown = Printable(text.substr(0, static_cast<std::size_t>(room)));
  if (width >= 0) shown.resize(static_cast<std::size_t>(room), ' ');
  attr_t attr = RoleAttr(role, colour_) | (dim ? A_DIM : A_NORMAL);
  attron(attr);
  mvaddnstr(row, col, shown.c_str(), static_cast<int>(shown.size()));
  attroff(attr);
}

void Screen::Frame(int top, int left, int height, int width, Role role) {
  if (height < 2 || width < 2) return;
  attr_t attr = RoleAttr(role, colour_);
  for (int r = 0; r < height; ++r) Text(top + r, left, "", role, width);
  attron(attr);
  mvaddch(top, left, ACS_ULCORNER);
  mvhline(top, left + 1, ACS_HLINE, width - 2);
  mvaddch(top, left + width - 1, ACS_URCORNER);
  mvvline(top + 1, left, ACS_VLINE, height - 2);
  mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
  mvaddch(top + height - 1, left, ACS_LLCORNER);
  mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
  mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
  attroff(attr);
}

void Screen::Rule(int row, int col, int width, Role role) {
  attr_t attr = RoleAttr(role, colour_);
  attron(attr);
  mvaddch(row, col - 1, ACS_LTEE);
  mvhline(row, col, ACS_HLINE, width);
  mvaddch(row, col + width, ACS_RTEE);
  attroff(attr);
}

int Screen::BandShade(int col) const {
  int middle = COLS / 2;
  if (band_shades_ <= 1 || col < middle) return 0;
  int shade = (col - middle) * band_shades_ / (COLS - middle);
  return shade < band_shades_ ? shade : band_shades_ - 1;
}

void Screen::Band(int top, int height) {
  for (int r = top; r < top + height && r < LINES; ++r) {
    for (int c = 0; c < COLS; ++c) {
      int shade = BandShade(c);
      if (!colour_) {
        mvaddch(r, c, (r == top ? ACS_HLINE : ' ') | A_REVERSE);
      } else if (r == top) {
        mvaddch(r, c, ACS_HLINE | Pair(static_cast<short>(kPairBandRule + shade)));
      } else {
        mvaddch(r, c, ' ' | Pair(static_cast<short>(kPairBandText + shade)));
      }
    }
  }
}

void Screen::BandText(int row, int col, std::string_view text) {
  if (row < 0 || row >= LINES) return;
  std::string shown = Printable(text);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    int c = col + static_cast<int>(i);
    if (c < 0) continue;
    if (c >= COLS) break;
    chtype attr = colour_ ? Pair(static_cast<short>(kPairBandText + BandShade(c))) : A_REVERSE;
    mvaddch(row, c, static_cast<chtype>(static_cast<unsigned char>(shown[i])) | attr);
  }
}

void Screen::PlaceCursor(int row, int col) {
  if (row < 0) {
    curs_set(0);
    return;
  }
  move(row, col);
  curs_set(1);
}

void Screen::Present() { refresh(); }

void Screen::Invalidate() { clearok(curscr, TRUE); }

KeyEvent Screen::ReadKey(int timeout_ms) {
  timeout(timeout_ms);
  for (;;) {
    int ch = getch();
    KeyEvent event;
    switch (ch) {
      case ERR:
        // A terminal that went away without a SIGHUP reaching us (its
        // emulator was killed) would otherwise read as no key forever,
        // with the input always ready: the console quits as on closing.
        if (platform::HungUp(0) && !platform::QuitRequested()) {
          Log(nullptr, "main", "Terminal closed");
          platform::RequestQuit();
        }
        return event;
      case KEY_UP:
        event.key = kKeyUp;
        return event;
      case KEY_DOWN:
        event.key = kKeyDown;
        return event;
      case KEY_LEFT:
        event.key = kKeyLeft;
        return event;
      case KEY_RIGHT:
        event.key = kKeyRight;
        return event;
      case KEY_HOME:
        event.key = kKeyHome;
        return event;
      case KEY_END:
        event.key = kKeyEnd;
        return event;
      case KEY_BACKSPACE:
      case 127:
      case 8:
        event.key = kKeyBackspace;
        return event;
      case KEY_DC:
        event.key = kKeyDelete;
        return event;
      case KEY_ENTER:
      case '\r':
      case '\n':
        event.key = kKeyEnter;
        return event;
      case 27:
        event.key = kKeyEscape;
        return event;
      case '\t':
        event.key = kKeyTab;
        return event;
      case KEY_BTAB:
        event.key = kKeyBackTab;
        return event;
      case KEY_F(10):
        event.key = kKeyF10;
        return event;
      case KEY_RESIZE:
        event.key = kKeyResize;
        return event;
      case KEY_MOUSE: {
        MEVENT mouse{};
        if (getmouse(&mouse) == OK && (mouse.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED))) {
          event.key = kKeyClick;
          event.row = mouse.y;
          event.col = mouse.x;
          return event;
        }
        break;  // another button or a release: read on
      }
      default:
        if (ch >= 0 && ch < 0x100) {
          event.key = ch;
          return event;
        }
        break;  // a key the console has no use for
    }
    timeout(0);
  }
}

}  // namespace zanth::console

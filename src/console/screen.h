// The terminal under the console: takes it over with curses, draws text in
// a few colour roles, reads keys and mouse clicks, and gives it back.
// Nothing outside this pair includes curses.
#pragma once

#include <memory>
#include <string_view>

namespace zanth::console {

// Keys as the console sees them: a character code 0-255 (control keys
// included), or one of these.
enum Key : int {
  kNoKey = -1,
  kKeyUp = 0x100,
  kKeyDown,
  kKeyLeft,
  kKeyRight,
  kKeyHome,
  kKeyEnd,
  kKeyBackspace,
  kKeyDelete,
  kKeyEnter,
  kKeyEscape,
  kKeyTab,
  kKeyBackTab,
  kKeyF10,
  kKeyResize,
  kKeyClick,  // a left-button press; the position comes with it
};

constexpr int CtrlKey(char letter) { return letter & 0x1F; }

struct KeyEvent {
  int key = kNoKey;
  int row = 0;  // kKeyClick only
  int col = 0;
};

// What a piece of text is; the screen picks the colours.
enum class Role {
  kNormal,  // the log view: the terminal's own colours
  kMenuBar,
  kHighlight,  // the open menu, the chosen item, the focused field or button
  kBox,        // menus, message boxes and the dialog
  kField,      // an edit field without focus
};

class Screen {
 public:
  // Takes over the terminal on the standard input and output. nullptr when
  // curses does not know the terminal type.
  static std::unique_ptr<Screen> Open();
  ~Screen();
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  // Gives the terminal back (idempotent); the destructor does it too. Safe
  // at exit, when the owner may never be destroyed.
  static void RestoreTerminal();

  int rows() const;
  int cols() const;

  // Sets the terminal window's title where the terminal has one.
  void SetTitle(std::string_view title);

  void Erase();
  // Draws text at (row, col), cut at the right edge of the screen or after
  // width columns; with width >= 0 the rest of those columns is filled with
  // blanks. Bytes outside printable ASCII show as "?". Nothing is drawn at
  // a position off the screen.
  void Text(int row, int col, std::string_view text, Role role, int width = -1, bool dim = false);
  // A filled box with a border.
  void Frame(int top, int left, int height, int width, Role role);
  // A horizontal rule inside a box from col for width columns.
  void Rule(int row, int col, int width, Role role);

  // The status band: the cells of rows [top, top + height) are shaded from
  // the fill in the middle to a darker tone at the right edge where the
  // terminal has the colours, plain otherwise. The first row is a rule.
  void Band(int top, int height);
  // Text on the band, over its shading.
  void BandText(int row, int col, std::string_view text);

  // Shows the cursor at (row, col), or hides it when row < 0.
  void PlaceCursor(int row, int col);
  // Sends the changes to the terminal.
  void Present();
  // Forces a full redraw on the next Present (after a suspend, say).
  void Invalidate();

  // The next key, waiting at most timeout_ms (0: do not wait).
  KeyEvent ReadKey(int timeout_ms);

 private:
  Screen() = default;
  void SetUpColours();
  int BandShade(int col) const;

  bool colour_ = false;
  int band_shades_ = 1;
};

}  // namespace zanth::console

// The options dialog and the message boxes.
#include "console/options_dialog.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "console/options_model.h"
#include "console/text_field.h"
#include "platform/process.h"

namespace zanth::console {
namespace {

// Focus order: the fields (the HTTPS port only for a site that has one),
// then the two buttons.
constexpr int kMaxFields = 5;

constexpr const char* kLabels[kMaxFields] = {"Zanth name:", "Address:", "Zanth port:",
                                             "HTTP port:", "HTTPS port:"};
constexpr int kLabelWidth = 12;
constexpr int kPortFieldWidth = 7;
// The fields' editing keys, shown in the dialog: they work only there.
constexpr std::string_view kFieldKeys = "Ctrl+X cut  Ctrl+C copy  Ctrl+V paste  Ctrl+Z undo";
constexpr char kSaveText[] = "[ Save ]";
constexpr char kCancelText[] = "[ Cancel ]";
constexpr int kWaitMs = 100;

// Where everything of the dialog sits on the current screen.
struct Layout {
  int top, left, height, width;
  int field_col, field_width;
  int keys_row, buttons_row, save_col, cancel_col;

  Layout(const Screen& screen, int fields) {
    height = 4 + fields;
    width = std::clamp(screen.cols() - 2, 30, 64);
    top = std::max(0, (screen.rows() - height) / 2);
    left = std::max(0, (screen.cols() - width) / 2);
    field_col = left + 2 + kLabelWidth + 1;
    field_width = std::max(1, left + width - 2 - field_col);
    keys_row = top + 1 + fields;
    buttons_row = top + 2 + fields;
    int buttons = static_cast<int>(sizeof kSaveText + sizeof kCancelText);
    save_col = left + (width - buttons) / 2;
    cancel_col = save_col + static_cast<int>(sizeof kSaveText) + 1;
  }
  int FieldRow(int field) const { return top + 1 + field; }
  int FieldWidth(int field) const {
    return field < 2 ? field_width : std::min(kPortFieldWidth, field_width);
  }
};

class OptionsDialog {
 public:
  OptionsDialog(Screen& screen, Settings* settings, std::string* clipboard,
                const OptionsDialogHooks& hooks)
      : screen_(screen),
        settings_(settings),
        clipboard_(clipboard),
        hooks_(hooks),
        fields_(MakeFields(FieldsFromSettings(*settings))),
        field_count_(settings->https_port != 0 ? kMaxFields : kMaxFields - 1),
        save_button_(field_count_),
        cancel_button_(field_count_ + 1),
        focus_count_(field_count_ + 2) {}

  void Run() {
    bool paint = true;
    while (!platform::QuitRequested()) {
      if (paint) Paint();
      KeyEvent event = screen_.ReadKey(kWaitMs);
      if (event.key == kNoKey) {
        paint = false;
        continue;
      }
      paint = true;
      if (event.key == kKeyClick) event.key = Click(event.row, event.col);
      if (event.key == kKeyEnter) {
        if (focus_ != cancel_button_) Save();
        return;
      }
      if (event.key == kKeyEscape) return;
      if (event.key == ' ' && focus_ >= save_button_) {
        if (focus_ == save_button_) Save();
        return;
      }
      OnKey(event.key);
    }
  }

 private:
  static std::array<TextField, kMaxFields> MakeFields(const OptionsFields& f) {
    return {TextField(f.site_name, kFieldLimit), TextField(f.address, kFieldLimit),
            TextField(f.chat_port, kFieldLimit), TextField(f.http_port, kFieldLimit),
            TextField(f.https_port, kFieldLimit)};
  }

  void Paint() {
    hooks_.draw_behind();
    Layout at(screen_, field_count_);
    screen_.Frame(at.top, at.left, at.height, at.width, Role::kBox);
    for (int i = 0; i < field_count_; ++i) {
      int row = at.FieldRow(i);
      screen_.Text(row, at.left + 2, kLabels[i], Role::kBox);
      std::size_t width = static_cast<std::size_t>(at.FieldWidth(i));
      const TextField& field = fields_[static_cast<std::size_t>(i)];
      std::size_t& first = first_shown_[static_cast<std::size_t>(i)];
      first = field.FirstShown(first, width);
      std::string_view shown =
          std::string_view(field.text()).substr(std::min(first, field.text().size()));
      screen_.Text(row, at.field_col, shown, focus_ == i ? Role::kHighlight : Role::kField,
                   at.FieldWidth(i));
    }
    int keys_width = std::min(static_cast<int>(kFieldKeys.size()), at.width - 4);
    screen_.Text(at.keys_row, at.left + (at.width - keys_width) / 2, kFieldKeys, Role::kBox,
                 keys_width, true);
    screen_.Text(at.buttons_row, at.save_col, kSaveText,
                 focus_ == save_button_ ? Role::kHighlight : Role::kBox);
    screen_.Text(at.buttons_row, at.cancel_col, kCancelText,
                 focus_ == cancel_button_ ? Role::kHighlight : Role::kBox);
    if (focus_ < field_count_) {
      const TextField& field = fields_[static_cast<std::size_t>(focus_)];
      std::size_t first = first_shown_[static_cast<std::size_t>(focus_)];
      screen_.PlaceCursor(at.FieldRow(focus_),
                          at.field_col + static_cast<int>(field.cursor() - first));
    } else {
      screen_.PlaceCursor(-1, 0);
    }
    screen_.Present();
  }

  // Turns a click into the key it stands for: focusing a field, or pressing
  // a button (returned as Enter or Escape).
  int Click(int row, int col) {
    Layout at(screen_, field_count_);
    if (row == at.buttons_row) {
      if (col >= at.save_col && col < at.save_col + static_cast<int>(sizeof kSaveText) - 1) {
        focus_ = save_button_;
        return kKeyEnter;
      }
      if (col >= at.cancel_col && col < at.cancel_col + static_cast<int>(sizeof kCancelText) - 1) {
        return kKeyEscape;
      }
    }
    for (int i = 0; i < field_count_; ++i) {
      if (row == at.FieldRow(i) && col >= at.field_col && col < at.field_col + at.FieldWidth(i)) {
        focus_ = i;
        TextField& field = fields_[static_cast<std::size_t>(i)];
        std::size_t target = first_shown_[static_cast<std::size_t>(i)] +
                             static_cast<std::size_t>(col - at.field_col);
        field.MoveHome();
        while (field.cursor() < std::min(target, field.text().size())) field.MoveRight();
      }
    }
    return kNoKey;
  }

  void OnKey(int key) {
    switch (key) {
      case kKeyTab:
      case kKeyDown:
        focus_ = (focus_ + 1) % focus_count_;
        return;
      case kKeyBackTab:
      case kKeyUp:
        focus_ = (focus_ + focus_count_ - 1) % focus_count_;
        return;
      default:
        break;
    }
    if (focus_ >= field_count_) {
      if (key == kKeyLeft || key == kKeyRight) {
        focus_ = focus_ == save_button_ ? cancel_button_ : save_button_;
      }
      return;
    }
    TextField& field = fields_[static_cast<std::size_t>(focus_)];
    switch (key) {
      case kKeyLeft:
        field.MoveLeft();
        break;
      case kKeyRight:
        field.MoveRight();
        break;
      case kKeyHome:
        field.MoveHome();
        break;
      case kKeyEnd:
        field.MoveEnd();
        break;
      case kKeyBackspace:
        field.Backspace();
        break;
      case kKeyDelete:
        field.Delete();
        break;
      case CtrlKey('X'):
        field.Cut(clipboard_);
        break;
      case CtrlKey('C'):
        field.Copy(clipboard_);
        break;
      case CtrlKey('V'):
        field.Paste(*clipboard_);
        break;
      case CtrlKey('Z'):
        field.Undo();
        break;
      default:
        if (key >= 0 && key < 0x100) field.Insert(static_cast<char>(key));
        break;
    }
  }

  void Save() {
    OptionsFields fields{fields_[0].text(), fields_[1].text(), fields_[2].text(),
                         fields_[3].text(), fields_[4].text()};
    SaveOutcome outcome = SaveOptions(fields, settings_);
    if (outcome.write_configuration) hooks_.save_configuration();
    if (!outcome.restart_notice) return;
    // The notice is part of the dialog: it too keeps the polls waiting.
    const std::string_view notice[] = {kRestartNotice};
    while (!platform::QuitRequested()) {
      hooks_.draw_behind();
      DrawMessageBox(screen_, "The Zanth Server", notice);
      screen_.PlaceCursor(-1, 0);
      screen_.Present();
      KeyEvent event = screen_.ReadKey(kWaitMs);
      if (DismissesMessageBox(event)) return;
    }
  }

  Screen& screen_;
  Settings* settings_;
  std::string* clipboard_;
  const OptionsDialogHooks& hooks_;
  std::array<TextField, kMaxFields> fields_;
  std::array<std::size_t, kMaxFields> first_shown_{};
  const int field_count_;
  const int save_button_;
  const int cancel_button_;
  const int focus_count_;
  int focus_ = 0;
};

}  // namespace

void RunOptionsDialog(Screen& screen, Settings* settings, std::string* clipboard,
                      const OptionsDialogHooks& hooks) {
  OptionsDialog dialog(screen, settings, clipboard, hooks);
  dialog.Run();
}

void DrawMessageBox(Screen& screen, std::string_view title,
                    std::span<const std::string_view> lines) {
  constexpr std::string_view kOk = "[ OK ]";
  std::size_t widest = std::max(title.size() + 2, kOk.size());
  for (std::string_view line : lines) widest = std::max(widest, line.size());
  int width = std::min(static_cast<int>(widest) + 6, screen.cols());
  int height = static_cast<int>(lines.size()) + 4;
  int top = std::max(0, (screen.rows() - height) / 2);
  int left = std::max(0, (screen.cols() - width) / 2);
  screen.Frame(top, left, height, width, Role::kBox);
  auto centred = [&](std::string_view text) {
    return left + std::max(1, (width - static_cast<int>(text.size())) / 2);
  };
  std::string heading = " " + std::string(title) + " ";
  screen.Text(top, centred(heading), heading, Role::kBox,
              std::min(static_cast<int>(heading.size()), width - 2));
  int row = top + 1;
  for (std::string_view line : lines) {
    screen.Text(row++, centred(line), line, Role::kBox,
                std::min(static_cast<int>(line.size()), width - 2));
  }
  screen.Text(row + 1, centred(kOk), kOk, Role::kHighlight);
}

bool DismissesMessageBox(const KeyEvent& event) {
  return event.key == kKeyEnter || event.key == kKeyEscape || event.key == ' ' ||
         event.key == kKeyClick;
}

}  // namespace zanth::console

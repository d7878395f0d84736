// The options dialog's save rules, its edit fields, the menu and the
// console's window template.
#include <gtest/gtest.h>

#include <string>

#include "app/resources.h"
#include "config/config_file.h"
#include "console/menu.h"
#include "console/options_model.h"
#include "console/text_field.h"
#include "console/window_template.h"
#include "support/test_support.h"

namespace zanth::console {
namespace {

class OptionsSaveTest : public ::testing::Test {
 protected:
  OptionsSaveTest() {
    settings_.site_name = "My Site";
    settings_.bind_address = "10.0.0.5";
    settings_.chat_port = 12005;
    settings_.http_port = 8080;
    fields_ = FieldsFromSettings(settings_);
  }

  Settings settings_;
  OptionsFields fields_;
};

TEST_F(OptionsSaveTest, UnchangedFieldsWriteNothing) {
  SaveOutcome outcome = SaveOptions(fields_, &settings_);
  EXPECT_FALSE(outcome.write_configuration);
  EXPECT_FALSE(outcome.restart_notice);
  // A port typed with a leading zero is the same port.
  fields_.chat_port = "012005";
  EXPECT_FALSE(SaveOptions(fields_, &settings_).write_configuration);
}

TEST_F(OptionsSaveTest, OnlyANewSiteNameIsWrittenWithoutNotice) {
  fields_.site_name = "Renamed";
  SaveOutcome outcome = SaveOptions(fields_, &settings_);
  EXPECT_TRUE(outcome.write_configuration);
  EXPECT_FALSE(outcome.restart_notice);
  EXPECT_EQ("Renamed", settings_.site_name);
}

TEST_F(OptionsSaveTest, AddressOrEitherPortNeedsARestart) {
  struct Case {
    std::string OptionsFields::*field;
    std::string text;
  };
  for (const Case& c :
       {Case{&OptionsFields::address, "127.0.0.1"}, Case{&OptionsFields::chat_port, "12006"},
        Case{&OptionsFields::http_port, "8081"}}) {
    Settings settings = settings_;
    OptionsFields fields = fields_;
    fields.*c.field = c.text;
    SaveOutcome outcome = SaveOptions(fields, &settings);
    EXPECT_TRUE(outcome.write_configuration) << c.text;
    EXPECT_TRUE(outcome.restart_notice) << c.text;
    EXPECT_EQ(settings.site_name, settings_.site_name);
  }
  // A name and a port together: written once, one notice.
  fields_.site_name = "Both";
  fields_.chat_port = "13000";
  SaveOutcome outcome = SaveOptions(fields_, &settings_);
  EXPECT_TRUE(outcome.restart_notice);
  EXPECT_EQ("Both", settings_.site_name);
  EXPECT_EQ(13000, settings_.chat_port);
  EXPECT_EQ("10.0.0.5", settings_.bind_address);
}

TEST_F(OptionsSaveTest, LettersAsAPortStoreZero) {
  fields_.chat_port = "abc";
  fields_.http_port = "80x";
  SaveOutcome outcome = SaveOptions(fields_, &settings_);
  EXPECT_TRUE(outcome.restart_notice);
  EXPECT_EQ(0, settings_.chat_port);
  EXPECT_EQ(0, settings_.http_port);
  EXPECT_EQ(0, PortFieldValue(""));
  EXPECT_EQ(0, PortFieldValue("65536"));
  EXPECT_EQ(0, PortFieldValue("-1"));
  EXPECT_EQ(65535, PortFieldValue("65535"));
  EXPECT_EQ(8081, PortFieldValue(" 8081 "));
}

TEST_F(OptionsSaveTest, HttpsPortFieldOnlyForASiteWithOneAndEmptiedTurnsItOff) {
  EXPECT_EQ("", fields_.https_port);
  EXPECT_FALSE(SaveOptions(fields_, &settings_).write_configuration);
  EXPECT_EQ(0, settings_.https_port);
  settings_.https_port = 8443;
  OptionsFields fields = FieldsFromSettings(settings_);
  EXPECT_EQ("8443", fields.https_port);
  EXPECT_FALSE(SaveOptions(fields, &settings_).write_configuration);
  fields.https_port = "8444";
  EXPECT_TRUE(SaveOptions(fields, &settings_).restart_notice);
  EXPECT_EQ(8444, settings_.https_port);
  fields.https_port = "";
  EXPECT_TRUE(SaveOptions(fields, &settings_).restart_notice);
  EXPECT_EQ(0, settings_.https_port);
}

TEST_F(OptionsSaveTest, FieldsAreReadUpTo254Characters) {
  fields_.site_name = std::string(300, 'n');
  fields_.address = std::string(300, 'a');
  (void)SaveOptions(fields_, &settings_);
  EXPECT_EQ(std::string(kFieldLimit, 'n'), settings_.site_name);
  EXPECT_EQ(std::string(kFieldLimit, 'a'), settings_.bind_address);
}

TEST_F(OptionsSaveTest, NewHttpPortSurvivesTheConfigurationFile) {
  testing::TempDir dir;
  std::string path = dir.File("zanth.conf");
  fields_.http_port = "9090";
  ASSERT_TRUE(SaveOptions(fields_, &settings_).write_configuration);
  ASSERT_EQ(0, config::WriteConfiguration(path, settings_, nullptr));
  Settings read;
  ASSERT_EQ(0, config::ReadConfiguration(path, &read, nullptr));
  EXPECT_EQ(9090, read.http_port);
  EXPECT_EQ(12005, read.chat_port);
}

TEST(TextFieldTest, CutPasteUndoAndTheLimit) {
  std::string clipboard;
  TextField field("abc", 5);
  field.MoveLeft();
  field.Insert('X');
  EXPECT_EQ("abXc", field.text());
  field.Copy(&clipboard);
  field.Paste(clipboard);  // room for one more only
  EXPECT_EQ("abXac", field.text());
  field.Insert('Z');
  EXPECT_EQ("abXac", field.text());
  field.Cut(&clipboard);
  EXPECT_EQ("", field.text());
  EXPECT_EQ("abXac", clipboard);
  field.Paste("q\tr");  // control characters are not pasted
  EXPECT_EQ("qr", field.text());
  field.Undo();
  EXPECT_EQ("abc", field.text());
  EXPECT_EQ(3u, field.cursor());
}

TEST(MenuTest, KeysSkipSeparatorsAndDimmedItems) {
  MenuState menu;
  menu.Open(1);  // Edit: Cut, Copy and Paste are dimmed
  EXPECT_EQ(kCommandOptions, menu.ChosenCommand());
  menu.NextItem(1);
  EXPECT_EQ(kCommandOptions, menu.ChosenCommand());
  EXPECT_EQ(kCommandNone, menu.CommandForHotkey('c'));
  menu.NextMenu(1);  // Help
  EXPECT_EQ(kCommandAbout, menu.ChosenCommand());
  menu.NextItem(1);  // over the separator
  EXPECT_EQ(kCommandMakerSite, menu.ChosenCommand());
  menu.NextItem(-1);
  EXPECT_EQ(kCommandAbout, menu.ChosenCommand());
  menu.NextItem(-1);  // wraps to the last item
  EXPECT_EQ(kCommandManual, menu.ChosenCommand());
  menu.NextMenu(1);  // wraps to File
  EXPECT_EQ(0u, menu.menu());
  EXPECT_EQ(kCommandExit, menu.CommandForHotkey('x'));
}

TEST(WindowTemplateTest, ConsoleTemplateDecodes) {
  std::string_view data = LoadResource("WIND", kConsoleTemplateNumber);
  WindowTemplate t;
  ASSERT_TRUE(ParseWindowTemplate(data, &t));
  EXPECT_EQ(60, t.left);
  EXPECT_EQ(60, t.top);
  EXPECT_EQ(540, t.right);
  EXPECT_EQ(420, t.bottom);
  EXPECT_EQ(0u, t.cursor);
  EXPECT_EQ(0x00CE0000u, t.style);
  EXPECT_EQ(0u, t.ext_style);
  EXPECT_EQ(kSystemWindowColour, t.background);
  EXPECT_EQ(kMenuName, t.menu_name);
  EXPECT_EQ("The Zanth Server", t.class_name);
  EXPECT_EQ("The Zanth Server", t.title);
  // Every shorter prefix lacks a field or a terminator.
  for (std::size_t n = 0; n < data.size(); ++n) {
    EXPECT_FALSE(ParseWindowTemplate(data.substr(0, n), &t)) << n;
  }
  EXPECT_EQ("HTTP port:", LoadResourceString(1403));
  EXPECT_EQ("HTTPS port:", LoadResourceString(1404));
  EXPECT_TRUE(LoadResourceString(1405).empty());
}

}  // namespace
}  // namespace zanth::console

// The legacy file tokenizer: items of a line and the lines worth reading.
#include "import/legacy_tokens.h"

#include <gtest/gtest.h>

namespace zanth::import {
namespace {

std::string Describe(const std::vector<Token>& items) {
  std::string out;
  for (const Token& t : items) {
    if (!out.empty()) out += ' ';
    if (!t.is_text()) {
      out += "<" + std::string(KeywordText(t.keyword)) + ">";
    } else {
      out += t.quoted ? "\"" + t.text + "\"" : t.text;
    }
  }
  return out;
}

TEST(LegacyTokensTest, SplitsKeywordsQuotedStringsAndWords) {
  EXPECT_EQ("<ROOM> <ID> 86 <NAME> \"Lob by\"", Describe(TokenizeLine("ROOM ID 86 NAME \"Lob by\"\r\n")));
  // The first keyword that prefixes the text wins, then one more character
  // goes with it.
  EXPECT_EQ("<PICTURE> <PICTS> <PICT> <ENDPICTS> <ENDROOM> <END>",
            Describe(TokenizeLine("PICTURE PICTS PICT ENDPICTS ENDROOM END\n")));
  EXPECT_EQ("<ID> NTITY", Describe(TokenizeLine("IDENTITY")));
  EXPECT_EQ("<LOCKED> <LOCKABLE> <LOC> 5", Describe(TokenizeLine("LOCKED LOCKABLE LOC 5")));
  // A keyword ending the text, and a quote never closed.
  EXPECT_EQ("<ENDROOM>", Describe(TokenizeLine("ENDROOM")));
  EXPECT_EQ("<NAME> \"open ended\"", Describe(TokenizeLine("NAME \"open ended\r\n")));
  EXPECT_EQ("\"\"", Describe(TokenizeLine("\"\"")));
  EXPECT_EQ("lower case", Describe(TokenizeLine("lower\tcase")));

  EXPECT_EQ(86, ParseDecimal("86"));
  EXPECT_EQ(-2, ParseDecimal("-2,5"));
  EXPECT_EQ(0, ParseDecimal("x1"));
  EXPECT_EQ(2147483647, ParseDecimal("99999999999999999999"));
  EXPECT_EQ(-2147483647 - 1, ParseDecimal("-99999999999999999999"));
}

TEST(LegacyTokensTest, PackedItemsOfOneLineStopAt512Bytes) {
  // 100 words of four characters take five bytes each: 102 fit in 512.
  std::string line;
  for (int i = 0; i < 120; ++i) line += "abcd ";
  EXPECT_EQ(102u, TokenizeLine(line).size());
  // A keyword takes one byte.
  std::string keywords;
  for (int i = 0; i < 120; ++i) keywords += "ID ";
  EXPECT_EQ(120u, TokenizeLine(keywords).size());
  std::vector<Token> quoted = TokenizeLine("\"" + std::string(600, 'q') + "\" ID");
  EXPECT_TRUE(quoted.empty());
}

TEST(LegacyTokensTest, CommentsShortLinesAndLongLines) {
  std::string long_line(600, 'x');
  LineReader lines("; comment\na\n\r\n\nROOM\n" + long_line + "\nEND");
  EXPECT_EQ("ROOM\n", lines.NextSignificant().value());
  EXPECT_EQ(511u, lines.NextSignificant()->size());
  EXPECT_EQ(std::string(89, 'x') + "\n", lines.NextSignificant().value());
  EXPECT_EQ("END", lines.NextSignificant().value());
  EXPECT_FALSE(lines.NextSignificant().has_value());

  // A NUL byte ends what is seen of its line.
  LineReader nul(std::string("NAME \"a\0b\"\nID 5\n", 16));
  EXPECT_EQ("NAME \"a", nul.NextSignificant().value());

  // The stream reads across lines and leaves a keyword where a value was
  // expected.
  LineReader source("ID\n; gap\n\nNAME \"x\"\n");
  TokenStream in(source);
  EXPECT_TRUE(in.Next()->is(kId));
  EXPECT_FALSE(in.NextValue().has_value());
  EXPECT_TRUE(in.Next()->is(kName));
  EXPECT_EQ("x", in.NextValue().value());
  EXPECT_EQ(nullptr, in.Peek());
}

}  // namespace
}  // namespace zanth::import

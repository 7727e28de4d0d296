// The start address argument: what is accepted, what it means, what fails.
#include "cli/start_address.h"

#include <gtest/gtest.h>

#include <string>

namespace varnel {
namespace {

TEST(StartAddress, AcceptedTexts) {
  const struct {
    std::string text;
    std::uint32_t value;
  } cases[] = {
      {"270000", 0x00270000},
      {"", 0},  // the empty text is a valid address
      {"0", 0},
      {"0000000000270000", 0x00270000},  // leading zeros change nothing
      {"fffFFF", 0x00FFFFFF},
      {"AbCdEf", 0x00ABCDEF},
      {"0123456789abcdef", 0x89ABCDEF},  // every digit; only the last 8 count
      {"123456789", 0x23456789},
      {"1234567890", 0x34567890},
      {"FFFFFFFF", 0xFFFFFFFF},
      {"1FFFFFFFF", 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text: \"" + c.text + "\"");
    const std::optional<std::uint32_t> value = parse_start_address(c.text);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, c.value);
  }
}

TEST(StartAddress, RejectedTexts) {
  const std::string cases[] = {
      "0x270000",
      "$270000",
      "270000h",
      "+270000",
      "-1",
      "27 0000",
      " 270000",
      "270000 ",
      "270G00",
      "g",
      "2700:00",
      "27_0000",
      "270000\n",
      std::string("27\0"
                  "00",
                  4),  // an embedded NUL is not a digit
      "27\x80",
      "\xC1",
      "\xE6",  // bytes of 0x80 and above, even if they fold
      "@",
      "`",
      "/",
      ":",
      "G",
      "z",  // the neighbours of each accepted range
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE("text: \"" + text + "\"");
    EXPECT_FALSE(parse_start_address(text).has_value());
  }
}

// For a person at a terminal: the first character that is no hexadecimal
// digit, and the digits that varnel takes when the text is a usual way of
// writing a hexadecimal number.
TEST(StartAddress, SlipsAndTheirMending) {
  const struct {
    std::string text;
    std::string character;
    std::string digits;  // empty: no form to give
  } cases[] = {
      {"0x270000", "x", "270000"},
      {"0X270000", "X", "270000"},
      {"0x0", "x", "0"},
      {"$270000", "$", "270000"},
      {"#FFfe00", "#", "FFfe00"},
      {"270000h", "h", "270000"},
      {"270000H", "H", "270000"},
      {" 270000", " ", "270000"},
      {"0x270000 ", "x", "270000"},
      {"\t270000\t", "\t", "270000"},
      {"0x", "x", ""},
      {"h", "h", ""},
      {"0x27g000", "x", ""},
      {"0x0x270000", "x", ""},
      {"27g000", "g", ""},
      {"27 0000", " ", ""},
      {"-1", "-", ""},
      {"270000\n", "\n", ""},
      // A letter of two bytes is named whole; a byte that starts none, alone.
      {"27\xC3\xA9", "\xC3\xA9", ""},
      {"27\xC3", "\xC3", ""},
      {"27\xFF\xFF", "\xFF", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text: \"" + c.text + "\"");
    ASSERT_FALSE(parse_start_address(c.text).has_value());
    const AddressSlip slip = address_slip(c.text);
    EXPECT_EQ(slip.character, c.character);
    EXPECT_EQ(slip.digits, c.digits);
  }
}

}  // namespace
}  // namespace varnel

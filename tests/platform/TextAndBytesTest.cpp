#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ByteOrder.hpp"
#include "platform/Utf8.hpp"

namespace lumenrail {
namespace {

std::string repaired(std::initializer_list<uint8_t> bytes) {
  Bytes b(bytes);
  return Utf8::decodeRepairing(ByteView(b));
}

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(Utf8, ValidTextPassesThroughUnchanged) {
  EXPECT_EQ(Utf8::decodeRepairing(std::string_view("Phone \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")),
            "Phone \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(repaired({}), "");
}

TEST(Utf8, ScalarAtDecodesEachLengthAndStopsAtTheEnd) {
  struct Row {
    std::string_view text;
    uint32_t value;
    size_t length;
  };
  for (const Row& row : std::vector<Row>{{"A", 0x41, 1},
                                         {"\xC3\xA9", 0xE9, 2},
                                         {"\xE2\x82\xAC", 0x20AC, 3},
                                         {"\xF0\x9F\x98\x80", 0x1F600, 4},
                                         {"\xE2\x82", 0x82, 2},  // cut short: what is left
                                         {"\x80", 0x80, 1}}) {   // starts nothing: itself
    const Utf8::Scalar scalar = Utf8::scalarAt(row.text, 0);
    EXPECT_EQ(scalar.value, row.value) << row.text;
    EXPECT_EQ(scalar.length, row.length) << row.text;
  }
  EXPECT_EQ(Utf8::scalarAt("x\xC3\xA9", 1).value, 0xE9u);
}

TEST(Utf8, ReplacesEachMaximalSubpartWithOneReplacementCharacter) {
  // The Unicode standard's own example (table 3-8): 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
  EXPECT_EQ(repaired({0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64}),
            "a" + kFFFD + kFFFD + kFFFD + "b" + kFFFD + "c" + kFFFD + kFFFD + "d");
  // A 3-byte character cut after two bytes is one replacement.
  EXPECT_EQ(repaired({'x', 0xE2, 0x82}), "x" + kFFFD);
  // Overlong forms, surrogates and values past U+10FFFF: every byte is its own subpart.
  EXPECT_EQ(repaired({0xC0, 0xAF}), kFFFD + kFFFD);
  EXPECT_EQ(repaired({0xE0, 0x80, 0xAF}), kFFFD + kFFFD + kFFFD);
  EXPECT_EQ(repaired({0xED, 0xA0, 0x80}), kFFFD + kFFFD + kFFFD);
  EXPECT_EQ(repaired({0xF4, 0x90, 0x80, 0x80}), kFFFD + kFFFD + kFFFD + kFFFD);
  EXPECT_EQ(repaired({0xFF}), kFFFD);
  EXPECT_TRUE(Utf8::isValid(repaired({0xF0, 0x9F, 0x98, 0xE2, 0x82, 0xAC, 0xC3})));
  EXPECT_FALSE(Utf8::isValid(std::string_view("\xC3", 1)));
}

TEST(Utf8, TrimsUnicodeWhitespaceAndNewlinesButNotOtherCharacters) {
  EXPECT_EQ(Utf8::trimWhitespaceAndNewlines(" \t\r\n\xC2\xA0\xE3\x80\x80name \xE2\x80\xA8"), "name");
  EXPECT_EQ(Utf8::trimWhitespaceAndNewlines("a b"), "a b");
  EXPECT_EQ(Utf8::trimWhitespaceAndNewlines(" \n "), "");
  EXPECT_EQ(Utf8::trimWhitespaceAndNewlines("\xC3\xA9"), "\xC3\xA9");
  // A stray byte is content even where its value would be a space, and
  // trimming never eats what follows it ("\xA0yy" must not become "y").
  for (const std::string_view hostile : {"\xA0yy", "\x85" "Ax", "x\x85\x85", "y\xE3\x80"}) {
    EXPECT_EQ(Utf8::trimWhitespaceAndNewlines(hostile), hostile);
  }
  EXPECT_EQ(Utf8::trimSpaces("  a\tb  "), "a\tb");
  EXPECT_EQ(Utf8::trimSpaces("\t a \t"), "\t a \t");
  EXPECT_EQ(Utf8::trimSpaces("    "), "");
}

TEST(ByteOrder, AppendsAndReadsLittleEndian) {
  Bytes out;
  ByteOrder::appendLE16(out, 0x0102);
  ByteOrder::appendLE32(out, 0x03040506);
  ByteOrder::appendLE64(out, 0x0708090A0B0C0D0EULL);
  EXPECT_EQ(out, (Bytes{0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07}));
  EXPECT_EQ(ByteOrder::readLE16(out, 0), 0x0102);
  EXPECT_EQ(ByteOrder::readLE32(out, 2), 0x03040506u);
  EXPECT_EQ(ByteOrder::readLE64(out, 6), 0x0708090A0B0C0D0EULL);
  EXPECT_THROW(ByteOrder::readLE32(out, 11), std::out_of_range);
  EXPECT_THROW(ByteOrder::readLE64(out, SIZE_MAX), std::out_of_range);
}

}  // namespace
}  // namespace lumenrail

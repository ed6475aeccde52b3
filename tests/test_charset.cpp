// The title character set: ISO 8859-1 to display code and back, display code
// to code page 437, each byte converted once and the length kept.
#include <gtest/gtest.h>

#include <string>

#include "card/charset.h"

namespace {

std::string Converted(void (*convert)(char*), std::string text) {
  convert(text.data());
  return text;
}

TEST(Charset, LatinToDisplayAndReport) {
  EXPECT_EQ(Converted(title_LatinToDisplay, "\xC4pfel"), "\xE1pfel");
  EXPECT_EQ(Converted(title_DisplayToCp437, "\xE1pfel"), "\x84pfel");  // capital comes back small
  EXPECT_EQ(Converted(title_LatinToDisplay, "Stra\xDF" "e"), "Stra\xE2" "e");
  EXPECT_EQ(Converted(title_DisplayToCp437, "Stra\xE2" "e"), "Stra\xE1" "e");
  // ISO 8859-1 a-acute is the display code of a-umlaut: kept, then shown as ä.
  EXPECT_EQ(Converted(title_LatinToDisplay, "\xE1"), "\xE1");
  EXPECT_EQ(Converted(title_DisplayToCp437, "\xE1"), "\x84");
  EXPECT_EQ(Converted(title_LatinToDisplay, ""), "");
  EXPECT_EQ(Converted(title_DisplayToCp437, "\xE4 plain 123"), "\xE4 plain 123");
  title_LatinToDisplay(nullptr);
}

TEST(Charset, EveryPairAndTheWayBack) {
  const std::string latin = "\xE4\xF6\xFC\xDF\xC4\xD6\xDC";
  const std::string display = "\xE1\xEF\xF5\xE2\xE1\xEF\xF5";
  EXPECT_EQ(Converted(title_LatinToDisplay, latin), display);
  EXPECT_EQ(Converted(title_DisplayToLatin, display), "\xE4\xF6\xFC\xDF\xE4\xF6\xFC");
  EXPECT_EQ(Converted(title_DisplayToCp437, display), "\x84\x94\x81\xE1\x84\x94\x81");
  // Small letters survive the round trip; no byte is converted twice.
  const std::string small = "M\xFCller \xE4\xF6\xDF";
  EXPECT_EQ(Converted(title_DisplayToLatin, Converted(title_LatinToDisplay, small)), small);
  EXPECT_EQ(Converted(title_DisplayToCp437, "\xE2\xE1"), "\xE1\x84");
}

}  // namespace

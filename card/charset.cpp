#include "card/charset.h"

#include <cstdint>

namespace {

struct CodePair {
  uint8_t host;
  uint8_t display;
};

// Order matters for the way back: the first pair with a display code wins
// (the small letter).
constexpr CodePair kLatinTable[7] = {
    {0xE4, 0xE1}, {0xF6, 0xEF}, {0xFC, 0xF5}, {0xDF, 0xE2},
    {0xC4, 0xE1}, {0xD6, 0xEF}, {0xDC, 0xF5},
};
constexpr CodePair kCp437Table[7] = {
    {0x84, 0xE1}, {0x94, 0xEF}, {0x81, 0xF5}, {0xE1, 0xE2},
    {0x8E, 0xE1}, {0x99, 0xEF}, {0x9A, 0xF5},
};

enum class Direction { ToDisplay, ToHost };

void Convert(char* text, const CodePair (&table)[7], Direction direction) {
  if (text == nullptr) return;
  for (char* p = text; *p != '\0'; ++p) {
    const uint8_t byte = static_cast<uint8_t>(*p);
    for (const CodePair& pair : table) {
      const uint8_t from = direction == Direction::ToDisplay ? pair.host : pair.display;
      if (byte == from) {
        *p = static_cast<char>(direction == Direction::ToDisplay ? pair.display : pair.host);
        break;
      }
    }
  }
}

}  // namespace

void title_LatinToDisplay(char* text) { Convert(text, kLatinTable, Direction::ToDisplay); }
void title_DisplayToCp437(char* text) { Convert(text, kCp437Table, Direction::ToHost); }
void title_DisplayToLatin(char* text) { Convert(text, kLatinTable, Direction::ToHost); }

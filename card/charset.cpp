#include "card/charset.h"

#include <iconv.h>

#include <cerrno>
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

bool utf8Terminal = false;

// One iconv run over the whole text; false when the text is not valid in
// `from` (or the conversion is unknown).
bool Iconv(const char* to, const char* from, const std::string& text, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input = text;
  char* in = input.data();
  std::size_t inLeft = input.size();
  out->clear();
  bool ok = true;
  while (ok) {
    char chunk[256];
    char* next = chunk;
    std::size_t outLeft = sizeof chunk;
    const std::size_t done = iconv(cd, &in, &inLeft, &next, &outLeft);
    out->append(chunk, static_cast<std::size_t>(next - chunk));
    if (done != static_cast<std::size_t>(-1)) break;
    ok = errno == E2BIG;
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

void title_LatinToDisplay(char* text) { Convert(text, kLatinTable, Direction::ToDisplay); }
void title_DisplayToCp437(char* text) { Convert(text, kCp437Table, Direction::ToHost); }
void title_DisplayToLatin(char* text) { Convert(text, kLatinTable, Direction::ToHost); }

void title_SetUtf8Terminal(bool on) { utf8Terminal = on; }
bool title_Utf8Terminal() { return utf8Terminal; }

std::string title_FromUtf8(const std::string& utf8) {
  std::string latin;
  if (!Iconv("ISO-8859-1//TRANSLIT", "UTF-8", utf8, &latin)) latin = utf8;
  title_LatinToDisplay(latin.data());
  return latin;
}

std::string title_FromTyped(const char* typed) {
  const std::string text = typed != nullptr ? typed : "";
  return utf8Terminal ? title_FromUtf8(text) : text;
}

std::string title_ToUtf8(const char* cardText) {
  std::string latin = cardText != nullptr ? cardText : "";
  title_DisplayToLatin(latin.data());
  std::string utf8;
  return Iconv("UTF-8", "ISO-8859-1", latin, &utf8) ? utf8 : latin;
}

std::string title_ToTerminal(const char* cardText, bool cp437) {
  if (utf8Terminal) return title_ToUtf8(cardText);
  std::string text = cardText != nullptr ? cardText : "";
  if (cp437) title_DisplayToCp437(text.data());
  return text;
}

bool title_IsDisplayCode(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
    const uint8_t byte = static_cast<uint8_t>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) continue;
    bool known = false;
    for (const CodePair& pair : kLatinTable) known = known || pair.display == byte;
    if (!known) return false;
  }
  return true;
}

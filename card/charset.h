// The title character set. Titles are stored in the player's display code,
// whose codes for the umlauts and sharp s differ from the host's: converted
// from ISO 8859-1 when a title is added, to code page 437 when the playlist
// is printed. Each in-place conversion works on a NUL-terminated text and
// keeps its length; a converted byte is not looked up again.
//
// A UTF-8 terminal gets the card's texts in UTF-8 and has what it types
// turned into display code, one byte per character on the card; any other
// terminal gets and gives the card's bytes as they are.
#pragma once

#include <cstddef>
#include <string>

void title_LatinToDisplay(char* text);
void title_DisplayToCp437(char* text);
void title_DisplayToLatin(char* text);

// Whether the terminal speaks UTF-8; set once at start from the locale.
void title_SetUtf8Terminal(bool on);
bool title_Utf8Terminal();

// UTF-8 to ISO 8859-1 (what lies outside it transliterated, "?" where no
// transliteration exists), then to display code. A text that is not valid
// UTF-8 is taken as ISO 8859-1 bytes.
std::string title_FromUtf8(const std::string& utf8);
// What the user typed, as it goes to the card: title_FromUtf8 on a UTF-8
// terminal, the typed bytes unchanged on any other.
std::string title_FromTyped(const char* typed);
// Card text to UTF-8: the display codes of the umlauts and sharp s become
// those letters (small), every other byte from 0x80 up its ISO 8859-1
// character.
std::string title_ToUtf8(const char* cardText);
// Card text as the terminal shows it: UTF-8 on a UTF-8 terminal; on any
// other the stored bytes, or with cp437 the display codes in code page 437.
std::string title_ToTerminal(const char* cardText, bool cp437 = false);

// Whether the first `length` bytes of a card text (up to its NUL) are all
// characters the player's display shows: printable ASCII and the display
// codes of the umlauts and sharp s.
bool title_IsDisplayCode(const char* text, std::size_t length);

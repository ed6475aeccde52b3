// The header sector's byte format: the card layout's constants, the header
// and entry structures, and their encoding as the bytes stand on the card
// (little-endian, by named offsets). Pure: no state, no card access.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/vexo_types.h"

constexpr uint32_t DATA_AREA_START = 0x10000;
constexpr uint32_t HEADER_TABLE_OFFSET = 512;
constexpr uint16_t HEADER_ENTRY_SIZE = 32;  // bytes of an entry as this system stores it
constexpr std::size_t TITLE_TEXT_BYTES = 23;  // 22 characters and a NUL
constexpr std::size_t TITLE_MAX_CHARS = 22;
constexpr std::size_t CARD_NAME_BYTES = 37;   // 36 characters and a NUL
constexpr std::size_t CARD_NAME_MAX_CHARS = 36;
// Entries the header area (up to DATA_AREA_START) can hold; never more are loaded.
constexpr uint32_t HEADER_MAX_TITLES = (DATA_AREA_START - HEADER_TABLE_OFFSET) / HEADER_ENTRY_SIZE;

struct TitleEntry {
  uint32_t startAddress = 0;  // byte address of the title's first byte
  uint32_t size = 0;          // length in bytes
  std::array<char, TITLE_TEXT_BYTES> title{};  // display code; may lack a NUL on foreign cards
  uint8_t fileType = 0;       // 1 MP3, 2 other
};

struct CardHeader {
  uint32_t cardSize = 0;
  uint32_t freeBytes = 0;
  uint16_t cardsInserted = 0;
  uint16_t version = 0;
  uint16_t cardType = 0;
  uint8_t headerByte2 = 0;
  uint8_t headerByte3 = 0;
  uint16_t sampleCount = 0;
  uint32_t tableOffset = 0;
  uint32_t tableEnd = 0;
  std::array<char, CARD_NAME_BYTES> cardName{};  // always NUL-terminated in memory
  uint16_t entrySize = 0;
};

// A header is valid only for these card types.
bool card_IsValidCardType(uint16_t cardType);

// Encoding of one entry as its 32 bytes stand on the card, and back.
void card_EncodeTitle(const TitleEntry& entry, uint8_t* bytes32);
TitleEntry card_DecodeTitle(const uint8_t* bytes32);

// Sets text fields: the first max characters of text, NUL-padded, with a NUL
// behind them.
void card_SetTitleText(TitleEntry* entry, const char* text);
void card_SetCardName(CardHeader* header, const char* name);

// The entries of the header's table that can be titles: only those that lie
// wholly inside the header area, and no more than HEADER_MAX_TITLES of them;
// a count that reaches further is cut.
uint32_t card_TableCount(const CardHeader& header);

// The entries of a header area held in memory (`bytes` from the card's byte
// 0, shorter ones read as zeros past their end), as the header reader loads
// them from a card: false when sector 0 holds no valid header.
bool card_DecodeHeaderArea(const uint8_t* bytes, std::size_t count, CardHeader* header,
                           std::vector<TitleEntry>* entries);

// Where the table of a header with `count` entries ends (64-bit).
uint64_t card_TableEnd(const CardHeader& header, uint32_t count);

// The table layout a header write uses: the header's own, unless its
// entries are shorter than 32 bytes (they could not hold a title) or its
// table overlaps the header's fields; then the layout this system writes,
// from byte 512 in 32-byte entries. The entries loaded from such a table
// (padded to 32 bytes when read) lose nothing in the move.
void card_UseWritableLayout(CardHeader* header);

// Header fields of an empty card (type 1 when cardType is 0).
void card_DefaultHeader(CardHeader* header, uint16_t cardType);

// The header fields as sector 0 holds them, and back. Decoding fills every
// field as stored (cardName NUL-terminated); encoding clears the fields'
// bytes first and stores `count` and `tableEnd` as the table's.
void card_DecodeHeaderFields(const uint8_t* sector0, CardHeader* header);
void card_EncodeHeaderFields(const CardHeader& header, uint16_t count, uint32_t tableEnd,
                             uint8_t* sector0);

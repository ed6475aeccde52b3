#include "card/header_format.h"

#include <algorithm>
#include <cstring>

namespace {

// Byte offsets of the header fields in sector 0 (little-endian).
constexpr std::size_t HDR_CARD_TYPE = 0;     // 2 bytes
constexpr std::size_t HDR_BYTE2 = 2;         // 1
constexpr std::size_t HDR_BYTE3 = 3;         // 1
constexpr std::size_t HDR_SAMPLE_COUNT = 4;  // 2
constexpr std::size_t HDR_TABLE_OFFSET = 6;  // 4
constexpr std::size_t HDR_TABLE_END = 10;    // 4
constexpr std::size_t HDR_CARD_NAME = 14;    // 37
constexpr std::size_t HDR_ENTRY_SIZE = 51;   // 2

// Byte offsets inside a title entry.
constexpr std::size_t ENT_START = 0;   // 4
constexpr std::size_t ENT_SIZE = 4;    // 4
constexpr std::size_t ENT_TITLE = 8;   // 23
constexpr std::size_t ENT_TYPE = 31;   // 1

uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Copies at most maxChars characters of text, NUL-padding the whole field.
template <std::size_t N>
void SetText(std::array<char, N>* field, const char* text, std::size_t maxChars) {
  field->fill('\0');
  if (text == nullptr) return;
  const std::size_t length = strnlen(text, maxChars);
  std::memcpy(field->data(), text, length);
}

}  // namespace

bool card_IsValidCardType(uint16_t cardType) {
  return cardType == 1 || cardType == 5 || cardType == 6 || cardType == 7;
}

void card_EncodeTitle(const TitleEntry& entry, uint8_t* bytes) {
  std::memset(bytes, 0, HEADER_ENTRY_SIZE);
  Store32(bytes + ENT_START, entry.startAddress);
  Store32(bytes + ENT_SIZE, entry.size);
  std::memcpy(bytes + ENT_TITLE, entry.title.data(), TITLE_TEXT_BYTES);
  bytes[ENT_TYPE] = entry.fileType;
}

TitleEntry card_DecodeTitle(const uint8_t* bytes) {
  TitleEntry entry;
  entry.startAddress = Load32(bytes + ENT_START);
  entry.size = Load32(bytes + ENT_SIZE);
  std::memcpy(entry.title.data(), bytes + ENT_TITLE, TITLE_TEXT_BYTES);
  entry.fileType = bytes[ENT_TYPE];
  return entry;
}

void card_SetTitleText(TitleEntry* entry, const char* text) {
  SetText(&entry->title, text, TITLE_MAX_CHARS);
}

void card_SetCardName(CardHeader* header, const char* name) {
  SetText(&header->cardName, name, CARD_NAME_MAX_CHARS);
}

uint64_t card_TableEnd(const CardHeader& header, uint32_t count) {
  return static_cast<uint64_t>(header.tableOffset) + static_cast<uint64_t>(count) * header.entrySize;
}

void card_DefaultHeader(CardHeader* header, uint16_t cardType) {
  header->cardType = cardType != 0 ? cardType : 1;
  header->headerByte2 = 1;
  header->headerByte3 = 1;
  header->sampleCount = 0;
  header->tableOffset = HEADER_TABLE_OFFSET;
  header->tableEnd = HEADER_TABLE_OFFSET;
  header->cardName.fill('\0');
  header->entrySize = HEADER_ENTRY_SIZE;
}

void card_DecodeHeaderFields(const uint8_t* b, CardHeader* header) {
  header->cardType = Load16(b + HDR_CARD_TYPE);
  header->headerByte2 = b[HDR_BYTE2];
  header->headerByte3 = b[HDR_BYTE3];
  header->sampleCount = Load16(b + HDR_SAMPLE_COUNT);
  header->tableOffset = Load32(b + HDR_TABLE_OFFSET);
  header->tableEnd = Load32(b + HDR_TABLE_END);
  std::memcpy(header->cardName.data(), b + HDR_CARD_NAME, CARD_NAME_BYTES);
  header->cardName[CARD_NAME_BYTES - 1] = '\0';  // a stored name may lack its NUL
  header->entrySize = Load16(b + HDR_ENTRY_SIZE);
}

void card_EncodeHeaderFields(const CardHeader& header, uint16_t count, uint32_t tableEnd,
                             uint8_t* b) {
  std::memset(b, 0, HDR_ENTRY_SIZE + 2);
  Store16(b + HDR_CARD_TYPE, header.cardType);
  b[HDR_BYTE2] = header.headerByte2;
  b[HDR_BYTE3] = header.headerByte3;
  Store16(b + HDR_SAMPLE_COUNT, count);
  Store32(b + HDR_TABLE_OFFSET, header.tableOffset);
  Store32(b + HDR_TABLE_END, tableEnd);
  std::memcpy(b + HDR_CARD_NAME, header.cardName.data(), CARD_NAME_BYTES);
  b[HDR_CARD_NAME + CARD_NAME_BYTES - 1] = '\0';
  Store16(b + HDR_ENTRY_SIZE, header.entrySize);
}

uint32_t card_TableCount(const CardHeader& header) {
  uint32_t count = std::min<uint32_t>(header.sampleCount, HEADER_MAX_TITLES);
  if (header.tableOffset >= DATA_AREA_START) return 0;
  if (header.entrySize > 0) {
    count = std::min<uint32_t>(count, (DATA_AREA_START - header.tableOffset) / header.entrySize);
  }
  return count;
}

bool card_DecodeHeaderArea(const uint8_t* bytes, std::size_t count, CardHeader* header,
                           std::vector<TitleEntry>* entries) {
  std::vector<uint8_t> area(DATA_AREA_START, 0);
  std::copy(bytes, bytes + std::min<std::size_t>(count, DATA_AREA_START), area.begin());
  card_DecodeHeaderFields(area.data(), header);
  entries->clear();
  if (!card_IsValidCardType(header->cardType)) return false;
  // Entries of another size than 32 bytes keep their first 32 bytes.
  const uint32_t take = std::min<uint32_t>(header->entrySize, HEADER_ENTRY_SIZE);
  for (uint32_t i = 0; i < card_TableCount(*header); ++i) {
    const uint64_t at = card_TableEnd(*header, i);
    uint8_t entry[HEADER_ENTRY_SIZE] = {};
    for (uint32_t j = 0; j < take && at + j < DATA_AREA_START; ++j) entry[j] = area[at + j];
    entries->push_back(card_DecodeTitle(entry));
  }
  return true;
}

void card_UseWritableLayout(CardHeader* header) {
  if (header->entrySize < HEADER_ENTRY_SIZE || header->tableOffset < HDR_ENTRY_SIZE + 2) {
    header->tableOffset = HEADER_TABLE_OFFSET;
    header->entrySize = HEADER_ENTRY_SIZE;
  }
}

#include "cli/listing_json.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "card/charset.h"
#include "card/header.h"
#include "card/table_check.h"
#include "host/pauses.h"
#include "base/result_codes.h"

void cli_VersionText(uint16_t version, char* text, std::size_t size) {
  if (version == 0) {
    std::snprintf(text, size, "PPA");
  } else if (version == 1) {
    std::snprintf(text, size, "ROS file");
  } else if (version == VEXO_VERSION_CARD_READER) {
    std::snprintf(text, size, "Card reader");
  } else {
    std::snprintf(text, size, "%i.%02i", version / 100, version % 100);
  }
}

nlohmann::ordered_json cli_CardListing(int32_t kind, int32_t port, int32_t slot,
                                       VexoResult* result) {
  using Json = nlohmann::ordered_json;
  CardHeader header;
  *result = card_ReadHeader(kind, port, slot, &header);
  char version[16];
  cli_VersionText(header.version, version, sizeof version);
  if (*result == 0) {
    Json listing = {{"valid", true}, {"cardSize", header.cardSize}, {"freeBytes", header.freeBytes}};
    if (kind == VEXO_PORT_SERIAL) listing["cardsInserted"] = header.cardsInserted;
    listing["version"] = version;
    listing["cardName"] = title_ToUtf8(header.cardName.data());
    listing["cardType"] = header.cardType;
    listing["titles"] = Json::array();
    TitleEntry entry;
    for (int number = 1; card_NextTitle(&entry) == 0; ++number) {
      const std::string title(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES));
      Json item = {{"number", number},
                   {"title", title_ToUtf8(title.c_str())},
                   {"size", entry.size},
                   {"start", entry.startAddress}};
      const char* damage = card_DamageText(card_TitleDamage(entry, header.cardSize));
      if (damage != nullptr) item["damaged"] = damage;
      listing["titles"].push_back(item);
    }
    card_ReleaseTitles();
    return listing;
  }
  if (*result == -VEXO_ERROR_NO_VALID_HEADER) {
    return {{"valid", false}, {"cardSize", header.cardSize}, {"version", version}};
  }
  VexoResult shown = *result;
  if (vexo_StopRequested()) shown = -VEXO_ERROR_TRANSFER_STOPPED;
  return {{"error", -shown}, {"message", vexo_ResultMessage(shown)}};
}

#include "card/settings.h"

#include "card/header.h"
#include "transport/transport.h"

namespace {

constexpr int kTries = 4;
constexpr std::size_t kMarker1 = 11;
constexpr std::size_t kMarker2 = 12;

}  // namespace

uint32_t card_SettingsSector(uint32_t cardSize) {
  const uint32_t sectors = cardSize / SECTOR_SIZE;
  return sectors >= 2 ? sectors - 2 : 0;
}

VexoResult card_ReadSettings(int32_t kind, int32_t port, int32_t slot, PlayerSettings* settings) {
  CardHeader header;
  VexoResult result = card_ReadHeader(kind, port, slot, &header);
  if (result != 0 && result != -VEXO_ERROR_NO_VALID_HEADER) return result;

  SectorBuffer buffer{};
  result = vexo_ReadSector(kind, port, slot, card_SettingsSector(header.cardSize), buffer, 1, kTries);
  if (result != 0) {
    card_ReleaseTitles();
    return result;
  }
  settings->sampleCount = header.sampleCount;
  if (buffer[kMarker1] == SETTINGS_MARKER && buffer[kMarker2] == SETTINGS_MARKER) {
    settings->setting1 = buffer[0] > 3 ? 0 : buffer[0];
    settings->setting2 = buffer[1] > 2 ? 0 : buffer[1];
    const int8_t third = static_cast<int8_t>(buffer[2]);
    settings->setting3 = (third < -9 || third > 9) ? 0 : third;
    const uint16_t number = static_cast<uint16_t>((buffer[3] << 8) | buffer[4]);
    settings->titleNumber = (number == 0 || number > header.sampleCount) ? 1 : number;
  } else {
    settings->setting1 = 0;
    settings->setting2 = 0;
    settings->setting3 = 0;
    settings->titleNumber = 1;
  }
  card_ReleaseTitles();
  return 0;
}

VexoResult card_WriteSettings(int32_t kind, int32_t port, int32_t slot,
                              const PlayerSettings& settings) {
  CardHeader header;
  VexoResult result = card_ReadHeaderForChange(kind, port, slot, &header);
  if (result != 0 && result != -VEXO_ERROR_NO_VALID_HEADER) return result;

  SectorBuffer buffer{};
  buffer[0] = settings.setting1;
  buffer[1] = settings.setting2;
  buffer[2] = static_cast<uint8_t>(settings.setting3);
  buffer[3] = static_cast<uint8_t>(settings.titleNumber >> 8);
  buffer[4] = static_cast<uint8_t>(settings.titleNumber);
  buffer[kMarker1] = SETTINGS_MARKER;
  buffer[kMarker2] = SETTINGS_MARKER;
  result = vexo_WriteSectorFirst(kind, port, slot, card_SettingsSector(header.cardSize), buffer,
                                 kTries);
  card_ReleaseTitles();
  return result;
}

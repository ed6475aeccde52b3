// The player's settings record: one sector, the last but one of the card,
// holding three small settings and a title number, valid when bytes 11 and
// 12 both hold the marker 22. Reading forces every field into its range.
// Part of the card layer's interface; no command uses it.
#pragma once

#include <cstdint>

#include "base/vexo_types.h"

constexpr uint8_t SETTINGS_MARKER = 22;

struct PlayerSettings {
  uint8_t setting1 = 0;     // 0..3
  uint8_t setting2 = 0;     // 0..2
  int8_t setting3 = 0;      // -9..9
  uint16_t titleNumber = 1; // 1..sampleCount, stored big-endian
  uint16_t sampleCount = 0; // from the card header; not written
};

// Sector of the settings record on a card of this size.
uint32_t card_SettingsSector(uint32_t cardSize);

VexoResult card_ReadSettings(int32_t kind, int32_t port, int32_t slot, PlayerSettings* settings);
VexoResult card_WriteSettings(int32_t kind, int32_t port, int32_t slot,
                              const PlayerSettings& settings);

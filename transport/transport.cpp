#include "transport/transport.h"

#include "drivers/image/ros.h"
#include "drivers/ppa/ppa.h"
#include "drivers/reader/rdr.h"
#include "drivers/serial/ser_port.h"
#include "drivers/serial/serial.h"
#include "host/pauses.h"

VexoResult vexo_Open(int32_t kind, int32_t port, int32_t speed, const char* imagePath) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return vexo_serial_Open(port, speed);
    case VEXO_PORT_PARALLEL: return ppa_Open(port);
    case VEXO_PORT_ROS: return ros_Open(imagePath);
    case VEXO_PORT_READER: return rdr_Open(imagePath);
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_Close(int32_t kind, int32_t port) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return vexo_serial_Close(port);
    case VEXO_PORT_PARALLEL: ppa_Close(); return 0;
    case VEXO_PORT_ROS: return ros_Close();
    case VEXO_PORT_READER: return rdr_Close();
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_Search(int32_t kind, int32_t port, int32_t slot, uint32_t* cardSize, int tries) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_MultiSearch(port, slot, cardSize, tries);
    case VEXO_PORT_PARALLEL: return ppa_Search(cardSize, tries);
    case VEXO_PORT_ROS: return ros_Search(cardSize);
    case VEXO_PORT_READER: return rdr_Search(cardSize);
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_SearchSecondCard(int32_t kind, int32_t port, int32_t slot, uint32_t* cardSize,
                                 int /*tries*/) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_MultiSearch(port, slot == 1 ? 2 : 1, cardSize, 2);
    case VEXO_PORT_PARALLEL:
    case VEXO_PORT_ROS:
    case VEXO_PORT_READER: return -VEXO_ERROR_PPA_NO_CARD_RESPONSE;
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_ResetCard(int32_t kind, int32_t port, int32_t slot) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_Search(port, slot);
    case VEXO_PORT_PARALLEL: return ppa_InitCard();
    case VEXO_PORT_ROS: return ros_ResetCard();
    case VEXO_PORT_READER: return 0;
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_ReadSector(int32_t kind, int32_t port, int32_t slot, uint32_t sector,
                           SectorBuffer& buffer, int addressed, int tries) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_ReadSectorRtr(port, slot, sector, buffer, addressed, tries);
    case VEXO_PORT_PARALLEL: return ppa_ReadSectorRtr(port, sector, buffer, tries);
    case VEXO_PORT_ROS: return ros_ReadSector(sector, buffer.data());
    case VEXO_PORT_READER: return rdr_ReadSector(sector, buffer.data());
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_WriteSectorFirst(int32_t kind, int32_t port, int32_t slot, uint32_t sector,
                                 SectorBuffer& buffer, int tries) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_WriteSectorFirstRtr(port, slot, sector, buffer, tries);
    case VEXO_PORT_PARALLEL: return ppa_WriteSectorFirstRtr(port, sector, buffer, tries);
    case VEXO_PORT_ROS: return ros_WriteSectorFirst(sector, buffer);
    case VEXO_PORT_READER: return rdr_WriteSectorFirst(sector, buffer);
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_WriteSectorNext(int32_t kind, int32_t port, int32_t slot, uint32_t sector,
                                SectorBuffer& buffer, int tries) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_WriteSectorNextRtr(port, slot, sector, buffer, tries);
    case VEXO_PORT_PARALLEL: return ppa_WriteSectorNextRtr(port, sector, buffer, tries);
    case VEXO_PORT_ROS: return ros_WriteSectorNext(sector, buffer);
    case VEXO_PORT_READER: return rdr_WriteSectorNext(sector, buffer);
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_WriteSectors(int32_t kind, int32_t port, int32_t slot,
                             const std::vector<SectorWrite>& writes) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_WriteSectors(port, slot, writes);
    case VEXO_PORT_PARALLEL: return ppa_WriteSectors(port, writes);
    case VEXO_PORT_ROS: return ros_WriteSectors(writes);
    case VEXO_PORT_READER: return rdr_WriteSectors(writes);
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_WriteFile(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                          const char* path, uint32_t space, int progress, int sameOffset) {
  switch (kind) {
    case VEXO_PORT_SERIAL:
      return vexo_RunShielded(
          [&] { return ser_WriteFile(port, slot, startSector, path, space, progress, sameOffset); });
    case VEXO_PORT_PARALLEL:
      return vexo_RunShielded(
          [&] { return ppa_WriteFile(port, startSector, path, space, progress, sameOffset); });
    case VEXO_PORT_ROS:
      return vexo_RunShielded([&] { return ros_WriteFile(startSector, path, space, progress); });
    case VEXO_PORT_READER:
      return vexo_RunShielded(
          [&] { return rdr_WriteFile(startSector, path, space, progress, sameOffset); });
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_ReadFile(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                         uint32_t length, const char* path, int progress) {
  switch (kind) {
    case VEXO_PORT_SERIAL:
      return vexo_RunShielded(
          [&] { return ser_ReadFile(port, slot, startSector, length, path, progress); });
    case VEXO_PORT_PARALLEL:
      return vexo_RunShielded(
          [&] { return ppa_ReadFile(port, startSector, length, path, progress); });
    case VEXO_PORT_ROS:
      return vexo_RunShielded([&] { return ros_ReadFile(startSector, length, path, progress); });
    case VEXO_PORT_READER:
      return vexo_RunShielded([&] { return rdr_ReadFile(startSector, length, path, progress); });
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

float vexo_GetTransferRate(int32_t kind) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_GetTransferRate();
    case VEXO_PORT_PARALLEL: return ppa_GetTransferRate();
    case VEXO_PORT_ROS: return ros_GetTransferRate();
    case VEXO_PORT_READER: return rdr_GetTransferRate();
    default: return -static_cast<float>(VEXO_ERROR_PORT_NOT_EXIST);
  }
}

int32_t vexo_GetVersion(int32_t kind, int32_t port) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_GetVersion(port);
    case VEXO_PORT_PARALLEL: return 0;
    case VEXO_PORT_ROS: return 1;
    case VEXO_PORT_READER: return VEXO_VERSION_CARD_READER;
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

int vexo_GetProgress(int32_t kind) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_GetProgress();
    case VEXO_PORT_PARALLEL: return ppa_GetProgress();
    case VEXO_PORT_ROS: return ros_GetProgress();
    case VEXO_PORT_READER: return rdr_GetProgress();
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

VexoResult vexo_StopTransfer(int32_t kind, int32_t /*port*/) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_StopTransfer();
    case VEXO_PORT_PARALLEL: return ppa_StopTransfer();
    case VEXO_PORT_ROS: return ros_StopTransfer();
    case VEXO_PORT_READER: return rdr_StopTransfer();
    default: return -VEXO_ERROR_PORT_NOT_EXIST;
  }
}

uint32_t vexo_GetCurrentSector(int32_t kind) {
  switch (kind) {
    case VEXO_PORT_SERIAL: return ser_GetCurrentSector();
    case VEXO_PORT_PARALLEL: return ppa_GetCurrentSector();
    default: return 0;
  }
}

void vexo_SettleDelay(int32_t kind) {
  switch (kind) {
    case VEXO_PORT_SERIAL:
      // A line that is gone has no player to wait for.
      if (!ser_LineLost()) vexo_Delay(150);
      break;
    case VEXO_PORT_PARALLEL: vexo_Delay(10); break;
    default: break;
  }
}

void vexo_SetPower(int32_t kind, int on) {
  if (kind == VEXO_PORT_PARALLEL) ppa_Power(static_cast<uint8_t>(on));
}

void vexo_WriteControl(int32_t kind) {
  if (kind == VEXO_PORT_PARALLEL) lpt_WriteControl(255);
}

void vexo_ResetProgress(int32_t kind) {
  if (kind == VEXO_PORT_PARALLEL) ppa_ResetProgress();
}

void vexo_RestoreLineFromSignal() { ser_RestoreLineFromSignal(); }

VexoResult vexo_SendRaw(int32_t kind, int32_t port, int32_t speed, const uint8_t* bytes,
                        std::size_t count) {
  // Only the player's line takes raw bytes: no serial line stands behind
  // the adapter, an image file or the card reader.
  if (kind != VEXO_PORT_SERIAL) return -VEXO_ERROR_NOT_SUPPORTED;
  const VexoResult opened = vexo_serial_Open(port, speed);
  if (opened != 0) return opened;
  const VexoResult written = ser_SendRaw(port, bytes, count);
  vexo_serial_Close(port);
  vexo_Delay(20);
  return written;
}

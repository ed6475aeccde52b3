#include "drivers/serial/ser_protocol.h"

#include "drivers/serial/ser_port.h"
#include "base/checksum.h"
#include "host/pauses.h"
#include "host/trace.h"

namespace {

// Sizes at or above 2^31 bytes, and 0, are no card the player can hold.
constexpr uint32_t kLargestCardSize = 0x7FFFFFFFu;

bool WriteByte(uint8_t value) { return ser_Write(&value, 1) == 1; }

// A failure on a line that is gone is reported as that: no retry can help.
VexoResult Checked(VexoResult result) {
  return result < 0 && ser_LineLost() ? -VEXO_ERROR_LINE_LOST : result;
}

// Sends a request the way the player expects it: the command byte alone,
// 200 ms of silence (after which pending input is discarded), then the
// rest. With spaced, a 100 us gap comes before and after the checksum byte.
// True when every byte went out.
bool SendRequest(const std::array<uint8_t, SER_REQUEST_SIZE>& request, bool spaced) {
  if (!WriteByte(request[0])) return false;
  vexo_Delay(20);
  // Nothing that came in before the request is an answer to it: a read's
  // closing 'n' has the player stream the next sector, whose block arrives
  // within this pause (under 100 ms even at 57600 baud) and would be taken
  // for the status byte and block of a read asked for right after.
  ser_FlushInput();
  bool written = true;
  for (std::size_t i = 1; i + 1 < SER_REQUEST_SIZE; ++i) written = WriteByte(request[i]) && written;
  if (spaced) ser_DelayShort(1);
  written = WriteByte(request[SER_REQUEST_SIZE - 1]) && written;
  if (spaced) ser_DelayShort(1);
  return written;
}

// The player's answer to a written block: 0 for 'V', -DATA_WRITE_TIMEOUT for
// silence, -DATA_WRITE_VERIFY for any other byte.
VexoResult ReadWriteAnswer(const char* verifyTrace, const char* timeoutTrace) {
  uint8_t answer = 0;
  const int got = ser_ReadTimeout(&answer, 1, SER_LIMIT_BLOCK);
  if (got == SER_LINE_LOST) return -VEXO_ERROR_LINE_LOST;
  if (got != 1) {
    if (timeoutTrace != nullptr) vexo_Trace("%s", timeoutTrace);
    return -VEXO_ERROR_DATA_WRITE_TIMEOUT;
  }
  if (answer == SER_VERIFIED) return 0;
  vexo_Trace(verifyTrace, answer);
  return -VEXO_ERROR_DATA_WRITE_VERIFY;
}

}  // namespace

uint8_t ser_Xor(const uint8_t* data, std::size_t count) {
  uint8_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value ^= data[i];
  return value;
}

std::array<uint8_t, SER_REQUEST_SIZE> ser_BuildRequest(uint8_t command, uint32_t sector) {
  const uint32_t address = sector * SECTOR_SIZE;
  std::array<uint8_t, SER_REQUEST_SIZE> request{};
  request[0] = command;
  request[1] = static_cast<uint8_t>(address);
  request[2] = static_cast<uint8_t>(address >> 8);
  request[3] = static_cast<uint8_t>(address >> 16);
  request[4] = static_cast<uint8_t>(address >> 24);
  request[5] = SER_REQUEST_MARK;
  request[6] = ser_Xor(request.data() + 1, 5);
  return request;
}

void ser_StoreCrc(SectorBuffer& buffer) {
  const uint16_t crc = vexo_Crc16(std::span<const uint8_t>(buffer).first(SECTOR_SIZE));
  buffer[512] = static_cast<uint8_t>(crc >> 8);
  buffer[513] = static_cast<uint8_t>(crc);
}

int32_t ser_Search(int32_t, int32_t slot) {  // card size, or a negated code
  if (slot < 1 || slot > 2) {
    vexo_Trace("ser_Search returned VEXO_ERROR_MAX_CARD\n");
    return -VEXO_ERROR_MAX_CARD;
  }
  if (ser_LineLost()) return -VEXO_ERROR_LINE_LOST;
  ser_FlushInput();
  vexo_Delay(1);
  std::array<uint8_t, SER_SEARCH_ANSWER_SIZE> answer{};
  if (!WriteByte(slot == 1 ? '1' : '2') ||
      ser_ReadTimeout(answer.data(), answer.size(), SER_LIMIT_SEARCH) < 0) {
    vexo_Trace("ser_Search returned VEXO_ERROR_TALVARO_NOT_FOUND (1)\n");
    return Checked(-VEXO_ERROR_TALVARO_NOT_FOUND);
  }
  const uint32_t size = static_cast<uint32_t>(answer[1]) | static_cast<uint32_t>(answer[2]) << 8 |
                        static_cast<uint32_t>(answer[3]) << 16 |
                        static_cast<uint32_t>(answer[4]) << 24;
  // A card of 0 bytes or of 2 GiB and more cannot be reported as a size:
  // such an answer is a failed search, not a card.
  if (answer[0] != SER_SEARCH_FOUND || size == 0 || size > kLargestCardSize) {
    vexo_Trace("vexo_serial_Search returned VEXO_SERIAL_STATUS_TALVARO_NOT_FOUND (2)\n");
    return -VEXO_ERROR_TALVARO_NOT_FOUND;
  }
  vexo_Trace("ser_Search returned VEXO_SERIAL_STATUS_TALVARO_FOUND (2)\n");
  ser_FlushInput();
  return static_cast<int32_t>(size);
}

VexoResult ser_MultiSearch(int32_t port, int32_t slot, uint32_t* cardSize, int tries) {
  int32_t result = 0;
  int attempts = 0;
  do {
    result = ser_Search(port, slot);
    if (result == -VEXO_ERROR_LINE_LOST) return result;
    if (result < 0) {
      vexo_Trace("ser_MultiSearch retry\n");
      vexo_Delay(5);
    }
    ++attempts;
  } while (result < 0 && attempts < tries);
  vexo_Trace("Serial Search Retries left = %i\n", tries - attempts);
  if (result < 0) return result;
  if (cardSize != nullptr) *cardSize = static_cast<uint32_t>(result);
  return 0;
}

VexoResult ser_Resync(int32_t port, int32_t slot) {
  if (ser_LineLost()) return -VEXO_ERROR_LINE_LOST;
  vexo_Delay(150);
  uint32_t ignored = 0;
  return ser_MultiSearch(port, slot, &ignored, 5);
}

namespace {

VexoResult ReadSector(uint32_t sector, SectorBuffer& buffer, int mode) {
  if (mode == 1) {
    if (sector > SER_MAX_SECTOR) return -VEXO_ERROR_CMD_READ;
    if (!SendRequest(ser_BuildRequest(SER_CMD_READ, sector), false)) return -VEXO_ERROR_CMD_READ;
    vexo_Delay(10);
    if (ser_ReadTimeout(buffer.data(), 1, SER_LIMIT_STATUS) == 1 &&
        buffer[0] == SER_STATUS_REFUSED) {
      vexo_Trace("ser_ReadSector returned: VEXO_ERROR_MSG_CRC_ERROR");
      return -VEXO_ERROR_MSG_CRC_ERROR;
    }
  }
  if (ser_ReadTimeout(buffer.data(), SER_READ_BLOCK_SIZE, SER_LIMIT_BLOCK) < 0) {
    vexo_Trace("ser_ReadSector returned VEXO_ERROR_DATA_RECEIVE_TIMEOUT\n");
    return -VEXO_ERROR_DATA_RECEIVE_TIMEOUT;
  }
  if (ser_Xor(buffer.data(), SECTOR_SIZE) != buffer[SECTOR_SIZE]) {
    vexo_Trace("ser_ReadSector returned VEXO_ERROR_DATA_RECEIVE_CRC\n");
    return -VEXO_ERROR_DATA_RECEIVE_CRC;
  }
  if (!WriteByte(SER_NEXT)) {
    vexo_Trace("ser_ReadSector: 'n' not sent\n");
    return -VEXO_ERROR_CMD_READ;
  }
  return 0;
}

VexoResult WriteSector(uint32_t sector, SectorBuffer& buffer) {  if (sector > SER_MAX_SECTOR) return -VEXO_ERROR_CMD_WRITE;
  ser_StoreCrc(buffer);
  if (!SendRequest(ser_BuildRequest(SER_CMD_WRITE, sector), true)) return -VEXO_ERROR_CMD_WRITE;
  // The player acknowledges the request; the byte itself carries nothing
  // the PC acts on, and anything after it is discarded.
  uint8_t acknowledge = 0;
  ser_ReadTimeout(&acknowledge, 1, SER_LIMIT_BLOCK);
  vexo_Delay(5);
  ser_FlushInput();
  ser_ReadTimeout(&acknowledge, 1, SER_LIMIT_STATUS);
  if (ser_Write(buffer.data(), SER_WRITE_BLOCK_SIZE) != 1) {
    vexo_Trace("vexo_serial_WriteSector returned !boWriteOK\n");
    return -VEXO_ERROR_CMD_WRITE;
  }
  vexo_Delay(1);
  if (!WriteByte(SER_NEXT)) {
    vexo_Trace("ser_WriteSector: VEXO_ERROR_CMD_WRITE\n");
    return -VEXO_ERROR_CMD_WRITE;
  }
  return ReadWriteAnswer("ser_WriteSector: VEXO_ERROR_DATA_WRITE_VERIFY = %i\n", nullptr);
}

}  // namespace

VexoResult ser_ReadSector(int32_t, uint32_t sector, SectorBuffer& buffer, int mode) {
  return Checked(ReadSector(sector, buffer, mode));
}

VexoResult ser_WriteSector(int32_t, uint32_t sector, SectorBuffer& buffer) {
  return Checked(WriteSector(sector, buffer));
}

VexoResult ser_WriteNextSector(int32_t, SectorBuffer& buffer) {
  ser_StoreCrc(buffer);
  buffer[514] = SER_NEXT;
  buffer[515] = 0;
  ser_FlushInput();
  if (ser_Write(buffer.data(), SER_STREAM_BLOCK_SIZE) != 1) {
    vexo_Trace("ser_WriteNextSector: VEXO_ERROR_CMD_WRITE\n");
    return Checked(-VEXO_ERROR_CMD_WRITE);
  }
  return ReadWriteAnswer("ser_WriteNextSector: VEXO_ERROR_DATA_WRITE_VERIFY = %i\n",
                         "ser_WriteNextSector: VEXO_ERROR_DATA_WRITE_TIMEOUT\n");
}

VexoResult ser_ReadSectorRtr(int32_t port, int32_t slot, uint32_t sector, SectorBuffer& buffer,
                             int mode, int tries) {
  VexoResult result = ser_ReadSector(port, sector, buffer, mode);
  for (int attempt = 1; result != 0 && result != -VEXO_ERROR_LINE_LOST && attempt < tries;
       ++attempt) {
    vexo_Trace("ser_ReadSectorRtr retry\n");
    const VexoResult found = ser_Resync(port, slot);
    result = found != 0 ? found : ser_ReadSector(port, sector, buffer, 1);
  }
  return result;
}

VexoResult ser_WriteSectorFirstRtr(int32_t port, int32_t slot, uint32_t sector,
                                   SectorBuffer& buffer, int tries) {
  VexoResult result = 0;
  int attempt = 0;
  do {
    result = ser_WriteSector(port, sector, buffer);
    if (result == 0 || result == -VEXO_ERROR_LINE_LOST) return result;
    vexo_Trace("ser_WriteSectorFirstRtr retry\n");
    ser_Resync(port, slot);
  } while (++attempt < tries);
  return result;
}

VexoResult ser_WriteSectorNextRtr(int32_t port, int32_t slot, uint32_t sector,
                                  SectorBuffer& buffer, int tries) {
  VexoResult result = ser_WriteNextSector(port, buffer);
  for (int attempt = 1; result != 0 && result != -VEXO_ERROR_LINE_LOST && attempt < tries;
       ++attempt) {
    vexo_Trace("ser_WriteSectorNextRtr retry\n");
    const VexoResult found = ser_Resync(port, slot);
    result = found != 0 ? found : ser_WriteSector(port, sector, buffer);
  }
  return result;
}

int32_t ser_GetVersion(int32_t) {
  uint8_t answer = 0;
  WriteByte(SER_CMD_VERSION);
  vexo_Delay(30);
  // No byte, or a read call that failed: no version is known.
  if (ser_ReadOnce(&answer, 1) != 1) return -1;
  return answer;
}

VexoResult ser_SendRaw(int32_t, const uint8_t* bytes, std::size_t count) {
  return ser_Write(bytes, count) == 1 ? 0 : Checked(-1);
}

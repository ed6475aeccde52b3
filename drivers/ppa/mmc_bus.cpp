#include "drivers/ppa/mmc_bus.h"

#include "drivers/ppa/lpt.h"
#include "base/checksum.h"
#include "base/vexo_types.h"

namespace {

uint32_t g_blockLen = 512;

int Bit(uint8_t status, uint8_t mask) { return (status & mask) != 0 ? 1 : 0; }

void PackForward(BitPacker& packer, std::span<uint8_t> buffer, int bit) {
  packer.current = static_cast<uint8_t>((packer.current << 1) | bit);
  packer.bitCount = static_cast<uint8_t>((packer.bitCount + 1) & 7u);
  if (packer.bitCount == 0) {
    if (packer.position < buffer.size()) buffer[packer.position] = packer.current;
    ++packer.position;
  }
}

void PackBackward(BitPacker& packer, std::span<uint8_t> buffer, int bit) {
  packer.current = static_cast<uint8_t>((packer.current << 1) | bit);
  packer.bitCount = static_cast<uint8_t>((packer.bitCount + 1) & 7u);
  if (packer.bitCount == 0 && packer.position > 0) {
    --packer.position;
    if (packer.position < buffer.size()) buffer[packer.position] = packer.current;
  }
}

int NextBit(BitPacker& packer, std::span<const uint8_t> buffer) {
  if (packer.bitCount == 0) {
    packer.current = packer.position < buffer.size() ? buffer[packer.position] : 0xFF;
    ++packer.position;
  }
  const int bit = (packer.current & 0x80u) != 0 ? 1 : 0;
  packer.current = static_cast<uint8_t>(packer.current << 1);
  packer.bitCount = static_cast<uint8_t>((packer.bitCount + 1) & 7u);
  return bit;
}

// One sample's share of a data block: while the start bit is awaited the
// sample is ANDed into startFlag and counted, afterwards DAT is stored.
void DataSample(DataRxState& rx, std::span<uint8_t> data, uint8_t status) {
  if (rx.startFlag != 0) {
    rx.startFlag &= status;
    ++rx.sampleCount;
  } else {
    PackForward(rx.packer, data, Bit(status, DAT_IN_BIT));
  }
}

void DataBit(int bit) { lpt_Clock(static_cast<uint8_t>(LPT_DATA_LOW | (bit << 1))); }

int32_t ReceiveResponse(std::span<uint8_t> image, int32_t first, int32_t last, BitPacker& packer,
                        bool trail) {
  uint8_t status = 0xFF;
  bool started = false;
  for (int32_t n = 0; n <= last; ++n) {
    lpt_ClockSample(&status);
    if (n >= first && Bit(status, CMD_IN_BIT) == 0) {
      started = true;
      break;
    }
  }
  if (!started) {
    lpt_Clocks(8 - (last + 1));
    return VEXO_ERROR_PPA_NO_CARD_RESPONSE;
  }
  const std::size_t bits = image.size() * 8;
  for (std::size_t i = 0; i < bits; ++i) {
    PackBackward(packer, image, Bit(status, CMD_IN_BIT));
    lpt_ClockSample(&status);
  }
  if (trail) lpt_Clocks(8);
  return 0;
}

}  // namespace

uint32_t mmc_BlockLen() { return g_blockLen; }
void mmc_SetBlockLen(uint32_t length) { g_blockLen = length; }

int32_t mmc_SendCommand(const CommandFrame& frame) {
  for (std::size_t i = frame.size(); i-- > 0;) {
    for (int bit = 7; bit >= 0; --bit) {
      lpt_Clock(static_cast<uint8_t>(LPT_COMMAND_LOW | ((frame[i] >> bit) & 1u)));
    }
  }
  return 0;
}

int32_t mmc_GetResponse(std::span<uint8_t> image, int32_t first, int32_t last, BitPacker& packer) {
  return ReceiveResponse(image, first, last, packer, true);
}

int32_t mmc_GetResponseNoTrail(std::span<uint8_t> image, int32_t first, int32_t last,
                               BitPacker& packer) {
  return ReceiveResponse(image, first, last, packer, false);
}

int32_t mmc_GetResponseWithData(ResponseImage& image, BitPacker& packer, std::span<uint8_t> data,
                                DataRxState& rx) {
  rx.startFlag &= DAT_IN_BIT;
  rx.sampleCount = 0;
  uint8_t status = 0xFF;
  bool started = false;
  for (int32_t n = 0; n <= MMC_RESPONSE_LAST; ++n) {
    lpt_ClockSample(&status);
    if (n < MMC_RESPONSE_FIRST) continue;
    DataSample(rx, data, status);
    if (Bit(status, CMD_IN_BIT) == 0) {
      started = true;
      break;
    }
  }
  if (!started) return VEXO_ERROR_PPA_NO_CARD_RESPONSE;
  for (std::size_t i = 0; i < image.size() * 8; ++i) {
    PackBackward(packer, image, Bit(status, CMD_IN_BIT));
    lpt_ClockSample(&status);
    DataSample(rx, data, status);
  }
  return 0;
}

int32_t mmc_GetData(std::span<uint8_t> data, uint32_t length, DataRxState& rx) {
  rx.startFlag &= DAT_IN_BIT;
  if (length > data.size()) length = static_cast<uint32_t>(data.size());
  uint8_t status = 0xFF;
  while (rx.packer.position < length) {
    lpt_ClockSample(&status);
    if (rx.startFlag != 0) {
      if (rx.sampleCount > MMC_DATA_START_LIMIT) return VEXO_ERROR_PPA_NO_DAT_START_BIT;
      rx.startFlag &= status;
      ++rx.sampleCount;
    } else {
      PackForward(rx.packer, data, Bit(status, DAT_IN_BIT));
    }
  }
  return 0;
}

int32_t mmc_PutData(std::span<const uint8_t> data, std::span<const uint8_t> crc,
                    BitPacker& packer) {
  lpt_Clocks(2);
  DataBit(0);
  for (std::size_t i = 0; i < data.size() * 8; ++i) DataBit(NextBit(packer, data));
  if (!crc.empty()) {
    packer = BitPacker{};
    for (std::size_t i = 0; i < crc.size() * 8; ++i) DataBit(NextBit(packer, crc));
  }
  DataBit(1);
  return 0;
}

int32_t mmc_GetCrcStatus() {
  lpt_Clocks(2);
  uint8_t token = 0;
  uint8_t status = 0xFF;
  for (int i = 0; i < 5; ++i) {
    lpt_ClockSample(&status);
    token = static_cast<uint8_t>((token << 1) | Bit(status, DAT_IN_BIT));
  }
  return (token & 0x0Eu) == 0x04u ? 0 : VEXO_ERROR_PPA_WRONG_DATA_CRC16;
}

int32_t mmc_WaitBusy(int32_t limit, int32_t idleClocks) {
  lpt_Clocks(idleClocks);
  if (limit <= 0) return VEXO_ERROR_PPA_BSY_TIMEOUT;
  uint8_t status = 0;
  for (int32_t i = 0; i < limit; ++i) {
    lpt_ClockSample(&status);
    if (Bit(status, DAT_IN_BIT) == 1) return 0;
  }
  return VEXO_ERROR_PPA_BSY_TIMEOUT;
}

int32_t mmc_ReadBlock(std::span<uint8_t> buffer, DataRxState& rx) {
  const uint64_t length = static_cast<uint64_t>(g_blockLen) + 2;
  // A block length the caller's buffer cannot hold is never received into it.
  if (length > buffer.size()) return VEXO_ERROR_PPA_WRONG_DATA_CRC16;
  const int32_t received = mmc_GetData(buffer, static_cast<uint32_t>(length), rx);
  if (received != 0) return received;
  return mmc_CheckCrc16(buffer, static_cast<std::size_t>(length));
}

int32_t mmc_WriteBlock(std::span<const uint8_t> data) {
  if (g_blockLen > data.size()) return VEXO_ERROR_PPA_WRONG_DATA_CRC16;
  const std::span<const uint8_t> block = data.first(g_blockLen);
  std::array<uint8_t, 2> crc{};
  mmc_Crc16(block, crc);
  BitPacker packer;
  int32_t result = mmc_PutData(block, crc, packer);
  if (result == 0) result = mmc_GetCrcStatus();
  if (result == 0) result = mmc_WaitBusy(MMC_BUSY_LIMIT, 0);
  return result;
}

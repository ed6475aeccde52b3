// MMC bus framing over the adapter's clock primitives (lpt.h): command tokens
// on CMD, 48- and 136-bit responses within their sample windows, data blocks
// on DAT with CRC16, the CRC status token after a written block, and the busy
// wait. Every primitive returns 0 or a positive result code; the commands and
// the transfer layer above negate them. Counts are in clocks or samples,
// never in time. Owns BLOCK_LEN, the block size of every block exchange.
#pragma once

#include <array>
#include <cstdint>
#include <span>

using CommandFrame = std::array<uint8_t, 6>;    // byte 5 goes out first
using ResponseImage = std::array<uint8_t, 6>;   // 48-bit response, byte 5 first received
using RegisterImage = std::array<uint8_t, 17>;  // 136-bit response (CID, CSD)

// Sample windows of the responses (sample numbers after a command's end bit).
constexpr int32_t MMC_RESPONSE_FIRST = 2;
constexpr int32_t MMC_RESPONSE_LAST = 64;
constexpr int32_t MMC_IDENT_SAMPLE = 5;  // CMD1 and CMD2 answer exactly here
constexpr int32_t MMC_DATA_START_LIMIT = 1500000;
constexpr int32_t MMC_BUSY_LIMIT = 20000000;

// Cursor through a byte buffer while bits go out or come in.
struct BitPacker {
  uint8_t bitCount = 0;   // bits handled in the current byte, 0..7
  uint8_t current = 0;    // the byte being shifted out or assembled
  uint32_t position = 0;  // byte index into the buffer
};

// A data block under reception, handed from one receive primitive to the next.
struct DataRxState {
  uint8_t startFlag = 0xFF;  // nonzero while the start bit is awaited
  int32_t sampleCount = 0;   // samples taken while waiting
  BitPacker packer;
};

uint32_t mmc_BlockLen();
void mmc_SetBlockLen(uint32_t length);

// The six frame bytes on CMD, byte 5 first, each MSB first. No clocks around.
int32_t mmc_SendCommand(const CommandFrame& frame);

// Receives a response of image.size() bytes backwards (packer.position starts
// at image.size()), its start bit being the first CMD-low sample numbered
// first..last; then 8 idle clocks. No start bit: idle clocks up to 8 clocks
// in all since the first sample, VEXO_ERROR_PPA_NO_CARD_RESPONSE.
int32_t mmc_GetResponse(std::span<uint8_t> image, int32_t first, int32_t last, BitPacker& packer);
// The same without the 8 trailing idle clocks.
int32_t mmc_GetResponseNoTrail(std::span<uint8_t> image, int32_t first, int32_t last,
                               BitPacker& packer);
// Response of a read command (window 2..64) while DAT is watched into data.
int32_t mmc_GetResponseWithData(ResponseImage& image, BitPacker& packer, std::span<uint8_t> data,
                                DataRxState& rx);
// Receives until rx.packer.position reaches length (at most data.size());
// VEXO_ERROR_PPA_NO_DAT_START_BIT after 1500000 waiting samples. The block's
// end bit is not clocked.
int32_t mmc_GetData(std::span<uint8_t> data, uint32_t length, DataRxState& rx);
// 2 idle clocks, start bit, the bytes, the CRC when given (non-empty), end bit.
int32_t mmc_PutData(std::span<const uint8_t> data, std::span<const uint8_t> crc, BitPacker& packer);
// 2 idle clocks and the 5 token samples: 0 when the card accepted the block.
int32_t mmc_GetCrcStatus();
// `idleClocks` idle clocks, then up to `limit` samples until DAT is high.
int32_t mmc_WaitBusy(int32_t limit, int32_t idleClocks);

// Block exchanges: one block read into buffer (BLOCK_LEN + 2 bytes, CRC
// checked), continuing the reception in rx (a fresh one, or what the read
// command's response already collected into the same buffer); one block
// written from data (BLOCK_LEN bytes).
int32_t mmc_ReadBlock(std::span<uint8_t> buffer, DataRxState& rx);
int32_t mmc_WriteBlock(std::span<const uint8_t> data);

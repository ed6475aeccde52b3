// The MMC commands that the adapter driver uses, one short function each,
// built from the framing of mmc_bus.h, and the card capacity read from the
// CSD. Each returns 0 or a positive result code. No retries here: the retry
// policy lives in the transfer layer (ppa.cpp). Commands without a caller in
// the program (CMD4, 10, 11, 13-15, 17, 20, 24, 26, 27, 32-38 and the
// counted CMD18/CMD25) are not built.
#pragma once

#include <cstdint>
#include <span>

#include "drivers/ppa/mmc_bus.h"

constexpr uint32_t OCR_WINDOW = 0x1C0000;  // OCR bits 18..20: 3.0 V to 3.3 V
constexpr uint16_t CARD_RCA = 1;
constexpr uint32_t OCR_READY_BIT = 0x80000000u;

// Frame with index and argument filled in (CRC byte still 0).
CommandFrame mmc_Frame(uint8_t index, uint32_t argument);
// CRC, send, response in samples 2..64 with 8 trailing clocks, CRC7 check.
int32_t mmc_R1Command(CommandFrame frame, ResponseImage& response);
// The same up to the response window; 0 whatever happened.
int32_t mmc_R1CommandNoCheck(CommandFrame frame, ResponseImage& response);

int32_t mmc_cmd0();
// SEND_OP_COND: response exactly on sample 5, no CRC check; *ocr = payload.
int32_t mmc_cmd1(uint32_t ocrArgument, ResponseImage& response, uint32_t* ocr);
// ALL_SEND_CID: exactly on sample 5; no response gives 30.
int32_t mmc_cmd2(RegisterImage& cid);
int32_t mmc_cmd3(uint16_t rca, ResponseImage& response);
// SELECT_CARD: with RCA 0 the window is clocked and ignored, result 0.
int32_t mmc_cmd7(uint16_t rca, ResponseImage& response);
int32_t mmc_cmd9(uint16_t rca, RegisterImage& csd);
int32_t mmc_cmd12(ResponseImage& response);
// SET_BLOCKLEN: BLOCK_LEN takes the length before the command goes out.
int32_t mmc_cmd16(uint32_t length, ResponseImage& response);
// READ_MULTIPLE_BLOCK at a byte address: response while DAT is watched into
// data, the reception kept in rx (a card may start its first block during
// the response); the blocks follow through mmc_cmd18_Data into the same
// buffer, ended by mmc_cmd12. Each block continues rx and leaves it fresh
// for the next one.
int32_t mmc_cmd18_(uint32_t address, ResponseImage& response, std::span<uint8_t> data,
                   DataRxState& rx);
int32_t mmc_cmd18_Data(std::span<uint8_t> buffer, DataRxState& rx);
// WRITE_MULTIPLE_BLOCK at a byte address; the blocks follow through
// mmc_cmd25_Data. No stop command is ever sent.
int32_t mmc_cmd25_(uint32_t address, ResponseImage& response);
int32_t mmc_cmd25_Data(std::span<const uint8_t> data);

// 2^READ_BL_LEN x 2^(C_SIZE_MULT + 2) x (C_SIZE + 1) from a CSD image (byte k
// holds register bits 8k+7..8k), in 64 bits: never overflows.
uint64_t mmc_CardCapacity(const RegisterImage& csd);

// The player's byte protocol on the serial line, PC side: the card search and
// its 'H' answer, sector requests ('r'/'w', address, 'm', XOR), read blocks
// with their XOR check byte and the 'n' that asks for the next sector, write
// blocks with their CRC-16 and the player's 'V', the version query, the
// resynchronisation after an error and the retry wrappers the transport
// calls (declared in serial.h). Keeps no protocol state between exchanges;
// all traffic goes to the one line of ser_port.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "drivers/serial/serial.h"

// On-wire bytes.
constexpr uint8_t SER_SEARCH_FOUND = 'H';
constexpr uint8_t SER_CMD_READ = 'r';
constexpr uint8_t SER_CMD_WRITE = 'w';
constexpr uint8_t SER_REQUEST_MARK = 'm';
constexpr uint8_t SER_STATUS_REFUSED = 'E';
constexpr uint8_t SER_NEXT = 'n';
constexpr uint8_t SER_VERIFIED = 'V';
constexpr uint8_t SER_CMD_VERSION = 'o';

constexpr std::size_t SER_REQUEST_SIZE = 7;
constexpr std::size_t SER_SEARCH_ANSWER_SIZE = 5;
constexpr std::size_t SER_READ_BLOCK_SIZE = 513;    // data, XOR
constexpr std::size_t SER_WRITE_BLOCK_SIZE = 514;   // data, CRC high, CRC low
constexpr std::size_t SER_STREAM_BLOCK_SIZE = 515;  // data, CRC, 'n'

// Empty-poll limits (silent polls of 5 ms).
constexpr int SER_LIMIT_SEARCH = 10;
constexpr int SER_LIMIT_STATUS = 1;
constexpr int SER_LIMIT_BLOCK = 500;

// Largest sector whose byte address fits the request's 32-bit field.
constexpr uint32_t SER_MAX_SECTOR = 0xFFFFFFFFu / SECTOR_SIZE;

// XOR of the bytes, starting from 0.
uint8_t ser_Xor(const uint8_t* data, std::size_t count);
// The 7-byte request for a sector: command, address (sector x 512,
// little-endian), 'm', XOR of bytes 1 to 5. The sector must not exceed
// SER_MAX_SECTOR.
std::array<uint8_t, SER_REQUEST_SIZE> ser_BuildRequest(uint8_t command, uint32_t sector);
// Stores the CRC-16 (base/checksum.h) of the 512 data bytes into bytes 512 (high) and 513 (low).
void ser_StoreCrc(SectorBuffer& buffer);

// One sector read: mode 1 by request, any other mode the next sector of the
// running stream. 0, -CMD_READ, -MSG_CRC_ERROR, -DATA_RECEIVE_TIMEOUT or
// -DATA_RECEIVE_CRC. Bytes 0..512 of the buffer receive the block.
VexoResult ser_ReadSector(int32_t port, uint32_t sector, SectorBuffer& buffer, int mode);
// One sector written by request (the 514-byte block and a separate 'n').
// 0, -CMD_WRITE, -DATA_WRITE_TIMEOUT or -DATA_WRITE_VERIFY.
VexoResult ser_WriteSector(int32_t port, uint32_t sector, SectorBuffer& buffer);
// The next sector of a write stream (the 515-byte block). Results as above.
VexoResult ser_WriteNextSector(int32_t port, SectorBuffer& buffer);
// 1.5 s of silence, then up to 5 searches: 0 when the player answered again,
// else the last search's failure.
VexoResult ser_Resync(int32_t port, int32_t slot);

// Folder base/: the pure ground every layer stands on: these types and
// constants, the result codes' messages (result_codes.h), the one CRC-7 and
// CRC-16 (checksum.h), the arithmetic of sectors (sector_math.h). No I/O, no
// state. May include: the C++ library only.
//
// Types and constants shared by every layer: port kinds, the result type,
// sector sizes and the result codes. Nothing here has behaviour.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using VexoResult = int32_t;  // 0 for success, -N for result code N

constexpr int32_t VEXO_PORT_SERIAL = 1;
constexpr int32_t VEXO_PORT_PARALLEL = 2;
constexpr int32_t VEXO_PORT_ROS = 3;
// A MultiMediaCard in a host card reader, seen as a block device.
constexpr int32_t VEXO_PORT_READER = 4;

// The version a card reader reports: no player sends it (a player's version
// is one byte, or 65535 when none came), so the version text "Card reader"
// depends on the value alone, as "PPA" (0) and "ROS file" (1) do.
constexpr uint16_t VEXO_VERSION_CARD_READER = 0xFFFE;

// Port numbers of the parallel kind: the lp indexes 0..4 (the adapter's I/O
// address, reached with port instructions), and from VEXO_PARPORT_FIRST on
// the kernel's parallel-port devices /dev/parport<number - VEXO_PARPORT_FIRST>
// (the same adapter, reached through the ppdev driver).
constexpr int32_t VEXO_PARPORT_FIRST = 0x100;
constexpr int32_t VEXO_PARPORT_MAX_NUMBER = 255;

constexpr uint32_t SECTOR_SIZE = 512;
// Every sector buffer handed to the transport: 512 data bytes and room for
// what the drivers store behind them (CRC bytes, check byte, 'n', a zero).
constexpr std::size_t SECTOR_BUFFER_SIZE = 516;
using SectorBuffer = std::array<uint8_t, SECTOR_BUFFER_SIZE>;

// One sector of a header write: where it goes and the bytes it gets.
struct SectorWrite {
  uint32_t sector = 0;
  std::array<uint8_t, SECTOR_SIZE> bytes{};
};

// Result codes, positive; operations return them negated.
constexpr int32_t VEXO_NO_ERROR = 0;
constexpr int32_t VEXO_ERROR_CMD_WRITE = 1;
constexpr int32_t VEXO_ERROR_COM_OPEN = 2;
constexpr int32_t VEXO_ERROR_TIMEOUT_READ = 3;
constexpr int32_t VEXO_ERROR_DATA_WRITE_VERIFY = 4;
constexpr int32_t VEXO_ERROR_FILE_NOT_EXIST = 5;
constexpr int32_t VEXO_ERROR_FILE_SIZE_ZERO = 6;
constexpr int32_t VEXO_ERROR_COM_CLOSE = 7;
constexpr int32_t VEXO_ERROR_TALVARO_NOT_FOUND = 8;
constexpr int32_t VEXO_ERROR_DATA_WRITE_TIMEOUT = 9;
constexpr int32_t VEXO_ERROR_MAX_CARD = 10;
constexpr int32_t VEXO_ERROR_FILE_CREATE = 11;
constexpr int32_t VEXO_ERROR_CMD_READ = 12;
constexpr int32_t VEXO_ERROR_DATA_RECEIVE_TIMEOUT = 13;
constexpr int32_t VEXO_ERROR_DATA_RECEIVE_CRC = 14;
constexpr int32_t VEXO_ERROR_CREATE_THREAD = 15;
constexpr int32_t VEXO_ERROR_MAX_COMPORT = 16;
constexpr int32_t VEXO_ERROR_PORT_NOT_EXIST = 17;
constexpr int32_t VEXO_ERROR_NO_VALID_HEADER = 18;
constexpr int32_t VEXO_ERROR_MSG_CRC_ERROR = 19;
constexpr int32_t VEXO_ERROR_PPA_NO_DAT_START_BIT = 20;
constexpr int32_t VEXO_ERROR_PPA_NO_CARD_RESPONSE = 21;
constexpr int32_t VEXO_ERROR_NO_VALID_SAMPLE_NUMBER = 22;
constexpr int32_t VEXO_ERROR_PPA_WRONG_CMD_RESPONSE = 23;
constexpr int32_t VEXO_ERROR_PPA_UNEXPECTED_RESPONSE = 24;
constexpr int32_t VEXO_ERROR_PPA_WRONG_DATA_CRC16 = 25;
constexpr int32_t VEXO_ERROR_PPA_STOP_WRITE = 26;
constexpr int32_t VEXO_ERROR_PPA_CID_WRITE = 27;
constexpr int32_t VEXO_ERROR_PPA_CSD_WRITE = 28;
constexpr int32_t VEXO_ERROR_TRANSFER_STOPPED = 29;
constexpr int32_t VEXO_ERROR_PPA_WARN_NO_CID_RESPONSE = 30;
constexpr int32_t VEXO_ERROR_PPA_BSY_TIMEOUT = 31;
constexpr int32_t VEXO_ERROR_PPA_TIMEOUT = 32;
constexpr int32_t VEXO_ERROR_PPA_MAX_LPT_PORT = 33;
constexpr int32_t VEXO_ERROR_PPA_MEMORY_ALLOC = 34;
constexpr int32_t VEXO_ERROR_FILE_NOT_OPEN = 35;
constexpr int32_t VEXO_ERROR_ROS_READ = 36;
constexpr int32_t VEXO_ERROR_ROS_WRITE = 37;
constexpr int32_t VEXO_ERROR_PPA_OPEN_PORT = 38;
// 39 is reserved and has no message.
constexpr int32_t VEXO_ERROR_NOT_SUPPORTED = 40;
constexpr int32_t VEXO_ERROR_CARD_FULL = 41;
constexpr int32_t VEXO_ERROR_TABLE_FULL = 42;
constexpr int32_t VEXO_ERROR_FILE_WRITE = 43;
constexpr int32_t VEXO_ERROR_CARD_TOO_LARGE = 44;
constexpr int32_t VEXO_ERROR_FILE_READ = 45;
// Someone else holds the port: another vexo, a terminal program, a mount.
constexpr int32_t VEXO_ERROR_PORT_IN_USE = 46;
// An image file or MP3 that is a folder, FIFO, socket or device.
constexpr int32_t VEXO_ERROR_NOT_REGULAR_FILE = 47;
// A host output file that is the card image itself.
constexpr int32_t VEXO_ERROR_SAME_FILE = 48;
// A card-reader device that is not a block device.
constexpr int32_t VEXO_ERROR_NOT_BLOCK_DEVICE = 49;
// A card reader with no card in it, or a device too small to be a card.
constexpr int32_t VEXO_ERROR_NO_CARD = 50;
// The serial line went away under a transfer (an adapter unplugged, the
// other end closed).
constexpr int32_t VEXO_ERROR_LINE_LOST = 51;
// A write whose read-back from the card differs from what was written.
constexpr int32_t VEXO_ERROR_VERIFY_FAILED = 52;
// A card without a valid header whose header area holds other data (a file
// system, a partition table, a file): nothing is written over it.
constexpr int32_t VEXO_ERROR_FOREIGN_DATA = 53;
// A title entry that cannot be a title of this card (its start or end lies
// outside the card's data area): it is never read or written through.
constexpr int32_t VEXO_ERROR_DAMAGED_TITLE = 54;
// A verification found the card's bytes other than the host image's.
constexpr int32_t VEXO_ERROR_CARD_DIFFERS = 55;
// A sync's source that does not exist or cannot be read, sources that
// yield no song that can be stored, and a sync whose plan deletes every
// title without --force: each refused before anything is written.
constexpr int32_t VEXO_ERROR_SOURCE_NOT_FOUND = 60;
constexpr int32_t VEXO_ERROR_SOURCE_NOT_READABLE = 61;
constexpr int32_t VEXO_ERROR_NO_SONG = 62;
constexpr int32_t VEXO_ERROR_DELETES_ALL = 63;
constexpr int32_t VEXO_RESULT_CODE_COUNT = 64;

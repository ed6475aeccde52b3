#include "drivers/ppa/mmc_cmd.h"

#include "drivers/ppa/lpt.h"
#include "base/checksum.h"
#include "base/sector_math.h"
#include "base/vexo_types.h"

namespace {

constexpr CommandFrame kCmd0Frame = {0x95, 0x00, 0x00, 0x00, 0x00, 0x40};
constexpr CommandFrame kCmd2Frame = {0x4D, 0x00, 0x00, 0x00, 0x00, 0x42};
constexpr CommandFrame kCmd12Frame = {0x61, 0x00, 0x00, 0x00, 0x00, 0x4C};

uint32_t RcaArgument(uint16_t rca) { return static_cast<uint32_t>(rca) << 16; }

int32_t ReceiveRegister(RegisterImage& image, int32_t first, int32_t last) {
  BitPacker packer;
  packer.position = static_cast<uint32_t>(image.size());
  return mmc_GetResponse(image, first, last, packer);
}

int32_t ReceiveR1(ResponseImage& response) {
  BitPacker packer;
  packer.position = static_cast<uint32_t>(response.size());
  return mmc_GetResponse(response, MMC_RESPONSE_FIRST, MMC_RESPONSE_LAST, packer);
}

// Sends a frame whose CRC is in place and takes its checked 48-bit response.
int32_t SendWithCheckedR1(const CommandFrame& frame, ResponseImage& response) {
  mmc_SendCommand(frame);
  const int32_t received = ReceiveR1(response);
  if (received != 0) return received;
  return mmc_CheckCrc7(response, 6);
}

}  // namespace

CommandFrame mmc_Frame(uint8_t index, uint32_t argument) {
  CommandFrame frame{};
  frame[5] = static_cast<uint8_t>(0x40u | (index & 0x3Fu));
  frame[4] = static_cast<uint8_t>(argument >> 24);
  frame[3] = static_cast<uint8_t>(argument >> 16);
  frame[2] = static_cast<uint8_t>(argument >> 8);
  frame[1] = static_cast<uint8_t>(argument);
  return frame;
}

int32_t mmc_R1Command(CommandFrame frame, ResponseImage& response) {
  mmc_SetCmdCrc(frame);
  return SendWithCheckedR1(frame, response);
}

int32_t mmc_R1CommandNoCheck(CommandFrame frame, ResponseImage& response) {
  mmc_SetCmdCrc(frame);
  mmc_SendCommand(frame);
  ReceiveR1(response);
  return 0;
}

int32_t mmc_cmd0() {
  mmc_SendCommand(kCmd0Frame);
  lpt_Clocks(8);
  return 0;
}

int32_t mmc_cmd1(uint32_t ocrArgument, ResponseImage& response, uint32_t* ocr) {
  CommandFrame frame = mmc_Frame(1, ocrArgument);
  mmc_SetCmdCrc(frame);
  mmc_SendCommand(frame);
  BitPacker packer;
  packer.position = static_cast<uint32_t>(response.size());
  const int32_t received = mmc_GetResponse(response, MMC_IDENT_SAMPLE, MMC_IDENT_SAMPLE, packer);
  if (received != 0) return received;
  *ocr = static_cast<uint32_t>(response[1]) | (static_cast<uint32_t>(response[2]) << 8) |
         (static_cast<uint32_t>(response[3]) << 16) | (static_cast<uint32_t>(response[4]) << 24);
  return 0;
}

int32_t mmc_cmd2(RegisterImage& cid) {
  mmc_SendCommand(kCmd2Frame);
  const int32_t received = ReceiveRegister(cid, MMC_IDENT_SAMPLE, MMC_IDENT_SAMPLE);
  if (received == VEXO_ERROR_PPA_NO_CARD_RESPONSE) return VEXO_ERROR_PPA_WARN_NO_CID_RESPONSE;
  if (received != 0) return received;
  return mmc_CheckCrc7(cid, 16);
}

int32_t mmc_cmd3(uint16_t rca, ResponseImage& response) {
  return mmc_R1Command(mmc_Frame(3, RcaArgument(rca)), response);
}

int32_t mmc_cmd7(uint16_t rca, ResponseImage& response) {
  const CommandFrame frame = mmc_Frame(7, RcaArgument(rca));
  return rca != 0 ? mmc_R1Command(frame, response) : mmc_R1CommandNoCheck(frame, response);
}

int32_t mmc_cmd9(uint16_t rca, RegisterImage& csd) {
  CommandFrame frame = mmc_Frame(9, RcaArgument(rca));
  mmc_SetCmdCrc(frame);
  mmc_SendCommand(frame);
  const int32_t received = ReceiveRegister(csd, MMC_RESPONSE_FIRST, MMC_RESPONSE_LAST);
  if (received != 0) return received;
  return mmc_CheckCrc7(csd, 16);
}

int32_t mmc_cmd12(ResponseImage& response) { return SendWithCheckedR1(kCmd12Frame, response); }

int32_t mmc_cmd16(uint32_t length, ResponseImage& response) {
  mmc_SetBlockLen(length);
  return mmc_R1Command(mmc_Frame(16, length), response);
}

int32_t mmc_cmd18_(uint32_t address, ResponseImage& response, std::span<uint8_t> data,
                   DataRxState& rx) {
  CommandFrame frame = mmc_Frame(18, address);
  mmc_SetCmdCrc(frame);
  mmc_SendCommand(frame);
  BitPacker packer;
  packer.position = static_cast<uint32_t>(response.size());
  rx = DataRxState{};
  const int32_t received = mmc_GetResponseWithData(response, packer, data, rx);
  if (received != 0) return received;
  return mmc_CheckCrc7(response, 6);
}

int32_t mmc_cmd18_Data(std::span<uint8_t> buffer, DataRxState& rx) {
  const int32_t result = mmc_ReadBlock(buffer, rx);
  rx = DataRxState{};
  return result;
}

int32_t mmc_cmd25_(uint32_t address, ResponseImage& response) {
  return mmc_R1Command(mmc_Frame(25, address), response);
}

int32_t mmc_cmd25_Data(std::span<const uint8_t> data) { return mmc_WriteBlock(data); }

uint64_t mmc_CardCapacity(const RegisterImage& csd) {
  const uint32_t readBlLen = csd[10] & 0x0Fu;
  const uint32_t cSizeMult = ((csd[6] & 0x03u) << 1) | ((csd[5] >> 7) & 0x01u);
  const uint32_t cSize = ((csd[9] & 0x03u) << 10) | (static_cast<uint32_t>(csd[8]) << 2) |
                         ((csd[7] >> 6) & 0x03u);
  return PowerOfTwo(readBlLen) * PowerOfTwo(cSizeMult + 2) * (static_cast<uint64_t>(cSize) + 1);
}

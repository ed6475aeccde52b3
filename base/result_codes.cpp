#include "base/result_codes.h"

namespace {

constexpr const char* kUnknownMessage = "UNKNOWN ERROR";

// Indexed by code; entries without a message read as an unknown code.
constexpr const char* ResultMessageTable[VEXO_RESULT_CODE_COUNT] = {
    "NO ERROR",
    "CMD WRITE",
    "COM OPEN",
    "TIMEOUT READ",
    "DATA WRITE VERIFY",
    "FILE NOT EXIST",
    "FILE SIZE ZERO",
    "COM CLOSE",
    "TALVARO NOT FOUND",
    "DATA WRITE TIMEOUT",
    "MAX CARD",
    "FILE CREATE",
    "CMD READ",
    "DATA RECEIVE TIMEOUT",
    "DATA RECEIVE CRC",
    "CREATE THREAD",
    "MAX COMPORT",
    "PORT NOT EXIST",
    "NO VALID HEADER",
    "MSG CRC ERROR",
    "PPA NO DAT START BIT",
    "PPA NO CARD RESPONSE",
    "NO VALID SAMPLE NUMBER",
    "PPA WRONG CMD RESPONSE",
    "PPA UNEXPECTED RESPONSE",
    "PPA WRONG DATA CRC16",
    "PPA STOP WRITE",
    "PPA CID WRITE",
    "PPA CSD WRITE",
    "TRANSFER STOPPED",
    "PPA WARN NO CID RESPONSE",
    "PPA BSY TIMEOUT",
    "PPA TIMEOUT",
    "PPA MAX LPT PORT",
    "PPA MEMORY ALLOC",
    "FILE NOT OPEN",
    "ROS READ",
    "ROS WRITE",
    "PPA OPEN PORT",
    nullptr,
    "- NOT SUPPORTED -",
    "CARD FULL",
    "TABLE FULL",
    "FILE WRITE",
    "CARD TOO LARGE",
    "FILE READ",
    "PORT IN USE",
    "NOT A REGULAR FILE",
    "SAME FILE AS IMAGE",
    "NOT A BLOCK DEVICE",
    "NO CARD IN READER",
    "LINE LOST",
    "VERIFY FAILED",
    "FOREIGN DATA",
    "DAMAGED TITLE",
    "CARD DIFFERS FROM FILE",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "SOURCE NOT FOUND",
    "SOURCE NOT READABLE",
    "NO SONG IN SOURCES",
    "PLAN DELETES EVERY TITLE",
};

}  // namespace

const char* vexo_ResultMessage(VexoResult result) {
  // Compare in 64 bits: negating INT32_MIN would overflow.
  const int64_t code = -static_cast<int64_t>(result);
  if (code < 0 || code >= VEXO_RESULT_CODE_COUNT) return kUnknownMessage;
  const char* message = ResultMessageTable[code];
  return message != nullptr ? message : kUnknownMessage;
}

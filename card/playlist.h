// The operations that change or copy the card's contents, each one
// read-modify-write of the header through card/header.h plus, for the
// transfers, one file copy through the transport. Each releases the loaded
// table before it returns; none prints anything (progress lines come from
// the transport).
#pragma once

#include <cstdint>
#include <array>
#include <string>
#include <vector>

#include "base/vexo_types.h"
#include "card/header_format.h"

VexoResult card_DeleteTitles(int32_t kind, int32_t port, int32_t slot, int lastOnly);
// Title sampleNumber (from 1) leaves the table; the titles behind it move
// up one place and every title's data stays where it is. -22 out of range.
VexoResult card_DeleteTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber);
// Title `from` takes place `to`, the titles between shift by one; no data
// moves. -22 when either is out of range; from == to writes nothing.
// -42 when a move across table sectors finds no room for one more entry.
VexoResult card_MoveTitle(int32_t kind, int32_t port, int32_t slot, int32_t from, int32_t to);
VexoResult card_WriteEmptyHeader(int32_t kind, int32_t port, int32_t slot);
VexoResult card_ResetHeader(int32_t kind, int32_t port, int32_t slot);
// Data first, the header only after the data arrived. -41 when the title
// does not fit whole (a cut song would play broken), -42 when the table is
// full; either before anything is written.
VexoResult card_AddTitle(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                         const char* cardName, const char* path, const char* title, int progress,
                         uint8_t fileType);

// Reads the header for a change; a blank card (no valid header, a blank
// header area) gets the header of an empty card of this type (1 when 0).
VexoResult card_ReadHeaderOrBlank(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                                  CardHeader* header);

// The changes above on the table the last header read loaded, for a run that
// makes several changes with one read: each writes the header itself, with
// `header`'s fields (as the read filled them, with any new name or type), and
// afterwards the loaded table is the one on the card. Titles count from 0.
// The add takes the new title's text and file type from `entry`; its size
// and place are found here.
VexoResult card_DeleteLoaded(int32_t kind, int32_t port, int32_t slot, const CardHeader& header,
                             uint16_t index);
VexoResult card_MoveLoaded(int32_t kind, int32_t port, int32_t slot, const CardHeader& header,
                           uint16_t from, uint16_t to);
VexoResult card_AddLoaded(int32_t kind, int32_t port, int32_t slot, const CardHeader& header,
                          const char* path, TitleEntry entry, int progress);

VexoResult card_ChangeCard(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                           const char* cardName);
VexoResult card_ChangeTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
                            const char* title);
// Without an output name the title's own text with ".mp3" is used, kept in
// the current folder ('/' becomes '_').
VexoResult card_ReadTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
                          const char* outputPath, int progress);
VexoResult card_RawWrite(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                         const char* path, int progress);
VexoResult card_RawRead(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                        const char* path, int progress, int usedPartOnly);

// A raw read of the card from sector 0 that resumes: the copy goes into
// FILE.part beside its map (see host/copy_map.h) and takes FILE's place once
// complete. A map of the same card (size, header sector and table sectors,
// which a resumed copy reads again) and length is carried
// on from; any other starts over. `note` says which, and from which sector.
enum class VexoResumeNote {
  Fresh, Resumed, CardSizeChanged, HeaderChanged, LengthChanged, FileChanged, CardChanged
};
VexoResult card_BackUp(int32_t kind, int32_t port, int32_t slot, const char* path, int progress,
                       int usedPartOnly, VexoResumeNote* note, uint32_t* fromSector);

// A raw write of a host image onto the card from sector 0 in an order that
// never leaves the card listing a title over half-written data: first the
// header area blank, then the data area, then the file's header area (its
// sector 0 last). With usedPartOnly only up to the end of the file's highest
// title. A map beside the file (FILE.write.map) lets a stopped restore of the
// same file onto the same card carry on; `note` says whether it did.
VexoResult card_Restore(int32_t kind, int32_t port, int32_t slot, const char* path, int progress,
                        int usedPartOnly, VexoResumeNote* note, uint32_t* fromSector);

// A verification of the card against a host image. The plan: the bytes
// compared from the card's byte 0 (the whole file, or with usedPartOnly up to
// the end of its highest title when its header is valid), the bytes of the
// file that lie past the card's end (they count as differing), and the
// file's titles, which name the sectors that differ.
struct VexoVerifyPlan {
  uint32_t length = 0;
  uint32_t beyondCard = 0;
  std::vector<TitleEntry> titles;
};
// A differing sector and where it lies in the file: its header area (title
// 0), title n from 1 in table order, or no title (-1).
struct VexoDifference {
  uint32_t sector = 0;
  int32_t title = -1;
  std::array<char, TITLE_TEXT_BYTES> text{};
};
struct VexoVerifyReport {
  uint32_t differing = 0;
  std::vector<VexoDifference> first;  // the first VEXO_VERIFY_LISTED of them
};
constexpr uint32_t VEXO_VERIFY_LISTED = 8;
// -FILE_NOT_EXIST, -NOT_REGULAR_FILE, -FILE_SIZE_ZERO, -FILE_READ, or the
// search's failure; nothing is read from the card but its size.
VexoResult card_PlanVerify(int32_t kind, int32_t port, int32_t slot, const char* path,
                           int usedPartOnly, VexoVerifyPlan* plan);
// Reads the plan's bytes from the card through the port's own copy from the
// card and compares them with the file: 0, -CARD_DIFFERS with the report,
// or the copy's failure.
VexoResult card_Verify(int32_t kind, int32_t port, int32_t slot, const char* path,
                       const VexoVerifyPlan& plan, int progress, VexoVerifyReport* report);

// The host file name for a title read without a given name: the title as
// the terminal shows it (see title_ToTerminal).
std::string card_DefaultTitleFileName(const char* title23);

#include "cli/commands.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "card/charset.h"
#include "card/header.h"
#include "card/playlist.h"
#include "card/table_check.h"
#include "cli/cli.h"
#include "cli/listing_json.h"
#include "cli/song_import.h"
#include "host/pauses.h"
#include "host/progress.h"
#include "base/result_codes.h"
#include "base/sector_math.h"
#include "transport/transport.h"

int cli_PrintError(VexoResult result) {
  if (vexo_StopRequested()) result = -VEXO_ERROR_TRANSFER_STOPPED;
  std::printf("\n Error: %s\n", vexo_ResultMessage(result));
  if (result == -VEXO_ERROR_FOREIGN_DATA && card_ForeignDataName() != nullptr) {
    std::printf(" It holds %s.\n", card_ForeignDataName());
  }
  return VEXO_EXIT_FAILED;
}

void cli_ReleaseAdapterLines(int32_t kind, int32_t port, int32_t slot) {
  if (kind != VEXO_PORT_PARALLEL) return;
  vexo_SetPower(kind, 0);
  vexo_Delay(40);
  CardHeader header;
  card_ReadHeader(kind, port, slot, &header);
  card_ReleaseTitles();
}

namespace {

constexpr const char* kRosRefusal = " - not supported for ROS file -\n";
constexpr auto ReleaseAdapterLines = cli_ReleaseAdapterLines;

// The frame of the header commands: open, operation, close, then the
// message; the parallel adapter re-reads the card after a change.
template <typename Operation>
int RunHeaderCommand(int32_t kind, int32_t port, int32_t slot, const char* imagePath,
                      Operation operation, const char* successText, int sampleNumber = 0,
                      int place = 0) {
  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) return cli_PrintError(opened);
  const VexoResult result = operation();
  vexo_Close(kind, port);
  int status = VEXO_EXIT_DONE;
  if (result != 0) {
    status = cli_PrintError(result);
  } else {
    if (kind == VEXO_PORT_PARALLEL) cmd_Get(VEXO_PORT_PARALLEL, port, slot, 0, nullptr);
    std::printf(successText, sampleNumber, place);
  }
  vexo_SettleDelay(kind);
  return status;
}

// The frame of the transfer commands: open, announce, operation, report,
// close. The parallel adapter switches its bus lines low and re-reads the
// header before the report, or after the verification that follows the
// report when there is one.
template <typename Operation>
int RunTransferCommand(int32_t kind, int32_t port, int32_t slot, Operation operation,
                       bool rateLine, const std::function<VexoResult()>& verify = {}) {
  VexoResult result = operation();
  if (result == 0) {
    const float rate = vexo_GetTransferRate(kind);
    if (!verify) ReleaseAdapterLines(kind, port, slot);
    vexo_EndProgressLine();
    std::fputs(kDoneLine, stdout);
    if (rateLine) std::printf(" Transferrate: %.0f Bits/sec.\n", static_cast<double>(rate));
    if (verify) {
      result = verify();
      if (result == 0) ReleaseAdapterLines(kind, port, slot);
    }
  }
  const int status = result != 0 ? cli_PrintError(result) : VEXO_EXIT_DONE;
  vexo_Close(kind, port);
  vexo_SettleDelay(kind);
  return status;
}

// The plan line of a verification: how much it compares, and over the
// player's line and the adapter that the card is read at the line's speed.
void PrintVerifyPlan(int32_t kind, const VexoVerifyPlan& plan) {
  std::printf(" Plan: compare %u sectors", static_cast<unsigned>(BytesToSectors(plan.length)));
  if (kind == VEXO_PORT_SERIAL) {
    // 8N1: ten bits on the line for every byte.
    const double bytesPerSecond = SerialBaudRate / 10.0;
    char time[32];
    vexo_FormatDuration(plan.length / bytesPerSecond, time, sizeof time);
    std::printf("; the card is read at the line's speed, %.0f bytes/s: at least %s", bytesPerSecond,
                time);
  } else if (kind == VEXO_PORT_PARALLEL) {
    std::printf("; the card is read at the line's speed (the adapter's port)");
  }
  std::printf(".\n");
}

void PrintDifferences(const VexoVerifyPlan& plan, const VexoVerifyReport& report) {
  if (plan.beyondCard != 0) {
    std::printf(" The file is %u bytes longer than the card.\n", static_cast<unsigned>(plan.beyondCard));
  }
  std::printf(" Differs in %u sectors; the first:\n", static_cast<unsigned>(report.differing));
  for (const VexoDifference& where : report.first) {
    std::printf("   sector %u: ", static_cast<unsigned>(where.sector));
    if (where.title == 0) {
      std::printf("header area\n");
    } else if (where.title < 0) {
      std::printf("no title\n");
    } else {
      std::printf("title %i, %s\n", static_cast<int>(where.title),
                  title_ToTerminal(where.text.data(), true).c_str());
    }
  }
}

// Compares the card with the host image: the plan line, the progress lines,
// " Done." and the verdict. The failure is the caller's to print.
VexoResult VerifyCard(int32_t kind, int32_t port, int32_t slot, const char* path, int usedPartOnly) {
  std::printf("\n Verifying the card against file %s\n", path);
  VexoVerifyPlan plan;
  VexoResult result = card_PlanVerify(kind, port, slot, path, usedPartOnly, &plan);
  if (result != 0) return result;
  PrintVerifyPlan(kind, plan);
  VexoVerifyReport report;
  result = card_Verify(kind, port, slot, path, plan, 1, &report);
  if (result != 0 && result != -VEXO_ERROR_CARD_DIFFERS) return result;
  vexo_EndProgressLine();
  std::fputs(kDoneLine, stdout);
  if (result == 0) {
    std::fputs(" Verified: identical.\n", stdout);
  } else {
    PrintDifferences(plan, report);
  }
  return result;
}

// How a resumable copy began, on a line of its own after its progress lines.
void PrintResumeNote(VexoResumeNote note, uint32_t from) {
  const char* why = nullptr;
  switch (note) {
    case VexoResumeNote::Fresh:
      return;
    case VexoResumeNote::Resumed:
      vexo_EndProgressLine();
      std::printf("\n Resumed at sector %u.\n", static_cast<unsigned>(from));
      return;
    case VexoResumeNote::CardSizeChanged:
      why = "the card's size changed";
      break;
    case VexoResumeNote::HeaderChanged:
      why = "the card's header area changed";
      break;
    case VexoResumeNote::LengthChanged:
      why = "the part to copy changed";
      break;
    case VexoResumeNote::FileChanged:
      why = "the file changed";
      break;
    case VexoResumeNote::CardChanged:
      why = "the card changed";
      break;
  }
  vexo_EndProgressLine();
  std::printf("\n Started over: %s.\n", why);
}

bool OpenForTransfer(int32_t kind, int32_t port, const char* imagePath) {
  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) cli_PrintError(opened);
  return opened == 0;
}

// Opens the port, reads the header and closes the port: the open's failure,
// or the header reader's result with the table loaded on success.
VexoResult ReadCard(int32_t kind, int32_t port, int32_t slot, const char* imagePath,
                    CardHeader* header) {
  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) return opened;
  const VexoResult result = card_ReadHeader(kind, port, slot, header);
  vexo_Close(kind, port);
  return result;
}

void PrintJson(const nlohmann::ordered_json& object) {
  std::printf("%s\n",
              object.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

}  // namespace

int cmd_Get(int32_t kind, int32_t port, int32_t slot, int report, const char* imagePath) {
  CardHeader header;
  const VexoResult result = ReadCard(kind, port, slot, imagePath, &header);
  char version[16];
  cli_VersionText(header.version, version, sizeof version);

  if (result == 0) {
    if (report == 1) {
      std::printf("\n");
      std::printf("%s    %lu Byte\n", "  Cardsize:", static_cast<unsigned long>(header.cardSize));
      std::printf("%s    %lu Byte\n", "  Free:    ", static_cast<unsigned long>(header.freeBytes));
      if (kind == VEXO_PORT_SERIAL) {
        std::printf("  Cards:       %u inserted\n", static_cast<unsigned>(header.cardsInserted));
      }
      std::printf("  Version:     %s\n", version);
      std::printf("  Cardname:    %s\n", title_ToTerminal(header.cardName.data()).c_str());
      std::printf("  No. Samples: %u\n", static_cast<unsigned>(header.sampleCount));
      if (header.sampleCount != 0) {
        std::printf("  Titles:\n");
        TitleEntry entry;
        int number = 1;
        while (card_NextTitle(&entry) == 0) {
          const std::string title(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES));
          std::printf("  %3i.  %8lu  %s", number++, static_cast<unsigned long>(entry.size),
                      title_ToTerminal(title.c_str(), true).c_str());
          const char* damage = card_DamageText(card_TitleDamage(entry, header.cardSize));
          if (damage != nullptr) std::printf("   (damaged: %s)", damage);
          std::printf("\n");
        }
      }
    }
    card_ReleaseTitles();
    vexo_SettleDelay(kind);
  } else if (result == -VEXO_ERROR_NO_VALID_HEADER) {
    vexo_SettleDelay(kind);
    std::printf("\n");
    std::printf("%s    %lu\n", "  Cardsize:", static_cast<unsigned long>(header.cardSize));
    std::printf("  Version:     %s\n", version);
    std::printf("  - no valid carddata -\n");
  } else {
    return cli_PrintError(result);
  }
  return VEXO_EXIT_DONE;
}

int cmd_Delete(int32_t kind, int32_t port, int32_t slot, int lastOnly, const char* devicePath) {
  if (kind == VEXO_PORT_ROS) {
    std::fputs(kRosRefusal, stdout);
    return VEXO_EXIT_FAILED;
  }
  return RunHeaderCommand(kind, port, slot, devicePath,
                   [&] { return card_DeleteTitles(kind, port, slot, lastOnly); },
                   lastOnly == 1 ? "\n Deleted one title.\n" : "\n Deleted all titles.\n");
}

int cmd_DeleteTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
                    const char* devicePath) {
  if (kind == VEXO_PORT_ROS) {
    std::fputs(kRosRefusal, stdout);
    return VEXO_EXIT_FAILED;
  }
  return RunHeaderCommand(kind, port, slot, devicePath,
                   [&] { return card_DeleteTitle(kind, port, slot, sampleNumber); },
                   "\n Deleted one title.\n");
}

int cmd_Move(int32_t kind, int32_t port, int32_t slot, int32_t from, int32_t to,
             const char* imagePath) {
  return RunHeaderCommand(kind, port, slot, imagePath,
                   [&] { return card_MoveTitle(kind, port, slot, from, to); },
                   "\n Moved title %i to place %i.\n", from, to);
}

int cmd_Empty(int32_t kind, int32_t port, int32_t slot, const char* devicePath) {
  if (kind == VEXO_PORT_ROS) {
    std::fputs(kRosRefusal, stdout);
    return VEXO_EXIT_FAILED;
  }
  return RunHeaderCommand(kind, port, slot, devicePath,
                   [&] { return card_WriteEmptyHeader(kind, port, slot); },
                   "\n Empty Header written.\n");
}

int cmd_Change(int32_t kind, int32_t port, int32_t slot, const char* cardName, uint16_t cardType,
               const char* imagePath) {
  return RunHeaderCommand(kind, port, slot, imagePath,
                   [&] { return card_ChangeCard(kind, port, slot, cardType, cardName); },
                   "\n Changed CardName.\n");
}

int cmd_ChTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber, const char* title,
                const char* imagePath) {
  return RunHeaderCommand(kind, port, slot, imagePath,
                   [&] { return card_ChangeTitle(kind, port, slot, sampleNumber, title); },
                   "\n Changed Title for Sample %i.\n", sampleNumber);
}

int cmd_Json(int32_t kind, int32_t port, int32_t slot, const char* imagePath) {
  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) {
    VexoResult shown = opened;
    if (vexo_StopRequested()) shown = -VEXO_ERROR_TRANSFER_STOPPED;
    PrintJson({{"error", -shown}, {"message", vexo_ResultMessage(shown)}});
    return VEXO_EXIT_FAILED;
  }
  VexoResult result = 0;
  const nlohmann::ordered_json listing = cli_CardListing(kind, port, slot, &result);
  vexo_Close(kind, port);
  if (result == 0 || result == -VEXO_ERROR_NO_VALID_HEADER) vexo_SettleDelay(kind);
  PrintJson(listing);
  return result == 0 || result == -VEXO_ERROR_NO_VALID_HEADER ? VEXO_EXIT_DONE : VEXO_EXIT_FAILED;
}

int cmd_Add(int32_t kind, int32_t port, int32_t slot, const char* path, char* title,
            const char* cardName, uint16_t cardType, const char* imagePath) {
  if (!OpenForTransfer(kind, port, imagePath)) return VEXO_EXIT_FAILED;
  title_LatinToDisplay(title);
  const uint8_t fileType = IsMp3FileName(path) ? 1 : 2;
  std::printf("\n Adding file: %s\n ", path);
  return RunTransferCommand(
      kind, port, slot,
      [&] {
        return card_AddTitle(kind, port, slot, cardType, cardName, path, title, 1, fileType);
      },
      kind != VEXO_PORT_ROS);
}

int cmd_Read(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
             const char* outputPath, const char* imagePath) {
  if (!OpenForTransfer(kind, port, imagePath)) return VEXO_EXIT_FAILED;
  std::printf("\n Reading file:\n ");
  return RunTransferCommand(
      kind, port, slot,
      [&] { return card_ReadTitle(kind, port, slot, sampleNumber, outputPath, 1); }, true);
}

int cmd_RawWrite(int32_t kind, int32_t port, int32_t slot, const char* path, int usedPartOnly,
                 const char* devicePath, bool verify) {
  if (kind == VEXO_PORT_ROS) {
    std::fputs(kRosRefusal, stdout);
    return VEXO_EXIT_FAILED;
  }
  if (!OpenForTransfer(kind, port, devicePath)) return VEXO_EXIT_FAILED;
  std::printf("\n Writing raw file: %s\n ", path);
  std::function<VexoResult()> verifyAfter;
  if (verify) verifyAfter = [&] { return VerifyCard(kind, port, slot, path, usedPartOnly); };
  return RunTransferCommand(
      kind, port, slot,
      [&] {
        VexoResumeNote note = VexoResumeNote::Fresh;
        uint32_t from = 0;
        const VexoResult result = card_Restore(kind, port, slot, path, 1, usedPartOnly, &note, &from);
        PrintResumeNote(note, from);
        return result;
      },
      true, verifyAfter);
}

int cmd_Verify(int32_t kind, int32_t port, int32_t slot, const char* path, int usedPartOnly,
               const char* devicePath) {
  if (kind == VEXO_PORT_ROS) {
    std::fputs(kRosRefusal, stdout);
    return VEXO_EXIT_FAILED;
  }
  if (!OpenForTransfer(kind, port, devicePath)) return VEXO_EXIT_FAILED;
  const VexoResult result = VerifyCard(kind, port, slot, path, usedPartOnly);
  if (result == 0) ReleaseAdapterLines(kind, port, slot);
  const int status = result != 0 ? cli_PrintError(result) : VEXO_EXIT_DONE;
  vexo_Close(kind, port);
  vexo_SettleDelay(kind);
  return status;
}

int cmd_RawRead(int32_t kind, int32_t port, int32_t slot, const char* path, int usedPartOnly,
                const char* devicePath) {
  if (kind == VEXO_PORT_ROS) {
    std::fputs(kRosRefusal, stdout);
    return VEXO_EXIT_FAILED;
  }
  if (!OpenForTransfer(kind, port, devicePath)) return VEXO_EXIT_FAILED;
  std::printf("\n Storing MMC data to file %s\n", path);
  return RunTransferCommand(
      kind, port, slot,
      [&] {
        VexoResumeNote note = VexoResumeNote::Fresh;
        uint32_t from = 0;
        const VexoResult result = card_BackUp(kind, port, slot, path, 1, usedPartOnly, &note, &from);
        PrintResumeNote(note, from);
        return result;
      },
      true);
}

int cmd_Import(int32_t kind, int32_t port, int32_t slot, const std::vector<std::string>& sources,
               const char* cardName, uint16_t cardType, const char* imagePath,
               const ImportOptions& options) {
  if (!OpenForTransfer(kind, port, imagePath)) return VEXO_EXIT_FAILED;
  const std::vector<Song> songs = song_Expand(sources, options.recursive);
  ImportHooks hooks;
  hooks.adding = [](const SongStep& step) {
    std::printf(" Adding file: %s\n %s\n ", step.song->path.c_str(), media_Describe(step.prepared).c_str());
  };
  hooks.fitted = [](int rate) {
    if (rate != 0) {
      std::printf(" The songs fit the card at %d kbit/s: the songs above it are transcoded to it.\n", rate);
    } else {
      std::printf(" The songs do not fit the card even at 64 kbit/s: adding those that fit.\n");
    }
  };
  const bool dryRun = options.mode.dryRun;
  hooks.finished = [dryRun](const SongStep& step) {
    if (step.onCard != 0) {
      std::printf(" Adding file: %s\n Skipped: already on the card as title %u\n", step.song->path.c_str(),
                  static_cast<unsigned>(step.onCard));
    } else if (dryRun && step.prepared.action != MEDIA_SKIP && step.result == 0) {
      std::printf("Would be title %u.\n", static_cast<unsigned>(step.wouldBe));
    } else if (step.prepared.action == MEDIA_SKIP) {
      std::printf(" Adding file: %s\n Skipped: %s\n", step.song->path.c_str(), step.prepared.skipReason.c_str());
    } else if (step.result == 0) {
      vexo_EndProgressLine();
      std::fputs(kDoneLine, stdout);
    } else if (cli_IsSongRefusal(step.result)) {
      std::printf("\n Skipped: %s\n", vexo_ResultMessage(step.result));
    }
  };
  const ImportTotals totals =
      cli_ImportSongs(kind, port, slot, cardType, cardName, songs, options.media, 1, hooks, options.mode);
  const bool failed = totals.failure != 0 && cli_PrintError(totals.failure) != VEXO_EXIT_DONE;
  if (totals.added != 0 && !dryRun) ReleaseAdapterLines(kind, port, slot);
  std::printf(dryRun ? "\n Would import %u of %u songs.\n" : "\n Imported %u of %u songs.\n", totals.added,
              static_cast<unsigned>(songs.size()));
  if (totals.alreadyOnCard != 0) std::printf(" Already on the card: %u.\n", totals.alreadyOnCard);
  if (dryRun) std::printf("\n Dry run: nothing written.\n");
  if (totals.tagBytesLeftOut != 0) {
    std::printf(" Tags left out: %llu bytes.\n", static_cast<unsigned long long>(totals.tagBytesLeftOut));
  }
  vexo_Close(kind, port);
  vexo_SettleDelay(kind);
  return failed || (totals.added + totals.alreadyOnCard == 0 && !songs.empty()) ? VEXO_EXIT_FAILED : VEXO_EXIT_DONE;
}

// The command handlers: each opens the port, runs one playlist operation or
// the header reader, closes the port, prints its report or the error line,
// and waits for the port to settle, and returns the run's exit status. They
// hold no state. The image or device
// path names the image file ("ros") or the card reader's device ("card");
// the other kinds ignore it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/vexo_types.h"
#include "cli/song_import.h"
#include "media/song_prepare.h"
#include "media/songs.h"

// Exit statuses of a run. A refused parallel port ends the process with 255
// from the driver; a signal ends it by the signal (128 + n).
constexpr int VEXO_EXIT_DONE = 0;      // the command did what it was asked
constexpr int VEXO_EXIT_FAILED = 1;    // it failed: an " Error:" line, or refused for the port kind
constexpr int VEXO_EXIT_REJECTED = 2;  // the command line was refused; nothing was opened

// Prints "\n Error: %s\n" for a failure (the stop, when one was requested)
// and what a refused card holds; returns VEXO_EXIT_FAILED.
int cli_PrintError(VexoResult result);
// After a transfer the adapter's bus lines go low and the card is read once
// more, silently; the other kinds do nothing.
void cli_ReleaseAdapterLines(int32_t kind, int32_t port, int32_t slot);
// The line that ends a copy's progress lines.
inline constexpr const char* kDoneLine = " Done.                        \n";

int cmd_Get(int32_t kind, int32_t port, int32_t slot, int report, const char* imagePath);
int cmd_Delete(int32_t kind, int32_t port, int32_t slot, int lastOnly,
               const char* devicePath = nullptr);
int cmd_DeleteTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
                    const char* devicePath = nullptr);
int cmd_Move(int32_t kind, int32_t port, int32_t slot, int32_t from, int32_t to,
             const char* imagePath);
int cmd_Empty(int32_t kind, int32_t port, int32_t slot, const char* devicePath = nullptr);
int cmd_Change(int32_t kind, int32_t port, int32_t slot, const char* cardName, uint16_t cardType,
               const char* imagePath);
int cmd_ChTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber, const char* title,
                const char* imagePath);
// The title is converted in place to the player's display code.
int cmd_Add(int32_t kind, int32_t port, int32_t slot, const char* path, char* title,
            const char* cardName, uint16_t cardType, const char* imagePath);
int cmd_Read(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
             const char* outputPath, const char* imagePath);
// With verify, the card is compared with the file after the write.
int cmd_RawWrite(int32_t kind, int32_t port, int32_t slot, const char* path, int usedPartOnly,
                 const char* devicePath = nullptr, bool verify = false);
// Compares the card with a host image (with usedPartOnly up to the end of
// its highest title): " Verified: identical." or the first differing sectors
// and the titles they lie in, and -CARD_DIFFERS.
int cmd_Verify(int32_t kind, int32_t port, int32_t slot, const char* path, int usedPartOnly,
               const char* devicePath = nullptr);
int cmd_RawRead(int32_t kind, int32_t port, int32_t slot, const char* path, int usedPartOnly,
                const char* devicePath = nullptr);
// What --import takes besides the sources and the card's name and type.
struct ImportOptions {
  bool recursive = false;  // --recursive: a folder's subfolders too
  MediaSettings media;     // how each song is prepared
  ImportMode mode;         // --dry-run, --again
};
// Adds every song the sources name, each as one title, whole or not at all,
// stored as cli_ImportSongs stores it: a song that is not audio or that
// cannot go on the card is reported and skipped. A stop request ends the
// import between songs. It succeeds when it stored every song or some of
// them; it fails after an error, or when every song was skipped.
int cmd_Import(int32_t kind, int32_t port, int32_t slot, const std::vector<std::string>& sources,
               const char* cardName, uint16_t cardType, const char* imagePath,
               const ImportOptions& options = {});
// What --sync takes besides the sources and the card's name and type.
struct SyncOptions {
  bool recursive = false;  // --recursive: a folder's subfolders too
  bool dryRun = false;     // --dry-run: the plan only, nothing written
  bool force = false;      // --force: a plan that deletes every title is done
  bool json = false;       // --json: the plan and the outcome as one JSON object
  MediaSettings media;     // how each song is prepared
};
// Makes the card's playlist the sources' songs, in their order, each once,
// each as --import stores it: the plan first (keep, delete, add, move, with
// the bytes to send and the time it takes), then the deletes, the adds and
// the moves, each its own header write. A source that is missing or cannot
// be read, or sources without a song, refuse the sync before the port is
// opened; a plan that deletes every title needs force. A stop ends it after
// the step in progress; the same sync again carries on.
int cmd_Sync(int32_t kind, int32_t port, int32_t slot, const std::vector<std::string>& sources,
             const char* cardName, uint16_t cardType, const char* imagePath,
             const SyncOptions& options);
// The playlist as one JSON object in UTF-8, whatever the locale.
int cmd_Json(int32_t kind, int32_t port, int32_t slot, const char* imagePath);
// Serves the card's page on the open port until a signal ends the session
// (listen: "ADDRESS:PORT" or nullptr for loopback at a free port).
int cmd_Web(int32_t kind, int32_t port, int32_t slot, const char* listen, const char* imagePath);
// The card's findings, one line each, then " Card is sound." (status 0) or
// " N problems found." (status 1); with json one object. Writes nothing.
int cmd_Check(int32_t kind, int32_t port, int32_t slot, bool json, const char* imagePath);
// The repair's plan, then (unless dryRun or nothing to do) its header write.
int cmd_Repair(int32_t kind, int32_t port, int32_t slot, bool dryRun, const char* imagePath);

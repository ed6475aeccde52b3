// --sync on the command line: the plan printed (or given as JSON) before
// anything is written, then carried out by cli/song_sync.h with a line of
// report for each step.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/result_codes.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/song_import.h"
#include "cli/song_sync.h"
#include "host/pauses.h"
#include "host/progress.h"
#include "transport/transport.h"

namespace {

using Json = nlohmann::ordered_json;

// A refusal before anything is written: its line (or its JSON object).
int Refuse(VexoResult result, const std::string& what, bool json) {
  if (json) {
    std::printf("%s\n", Json({{"error", -result}, {"message", vexo_ResultMessage(result)}, {"source", what}})
                            .dump(2, ' ', false, Json::error_handler_t::replace)
                            .c_str());
    return VEXO_EXIT_FAILED;
  }
  cli_PrintError(result);
  if (!what.empty()) std::printf(" Source: %s\n", what.c_str());
  return VEXO_EXIT_FAILED;
}

}  // namespace

int cmd_Sync(int32_t kind, int32_t port, int32_t slot, const std::vector<std::string>& sourceWords,
             const char* cardName, uint16_t cardType, const char* imagePath, const SyncOptions& options) {
  SyncRun run;
  std::string badSource;
  VexoResult result = cli_SyncSources(sourceWords, options.recursive, options.media, &run, &badSource);
  if (result != 0) {
    cli_SyncEnd(&run);
    return Refuse(result, badSource, options.json);
  }
  if (options.json) vexo_SetProgressQuiet(true);

  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) {
    cli_SyncEnd(&run);
    return Refuse(opened, "", options.json);
  }
  result = cli_SyncPlan(kind, port, slot, cardName, cardType, &run);
  if (result != 0) {
    cli_SyncEnd(&run);
    vexo_Close(kind, port);
    return Refuse(result, "", options.json);
  }
  const SyncPlan& plan = run.plan;
  Json out;
  if (options.json) {
    out = cli_SyncPlanJson(run);
  } else {
    std::printf("\n Plan:\n");
    for (const std::string& line : cli_SyncPlanLines(run, kind)) std::printf("%s\n", line.c_str());
  }

  SyncOutcome outcome;
  outcome.songsOnCard = plan.songsOnCard;
  if (options.dryRun) {
    if (!options.json) std::printf("\n Dry run: nothing written.\n");
  } else if (plan.deletesAll() && !options.force) {
    outcome.failure = -VEXO_ERROR_DELETES_ALL;
    if (!options.json) {
      cli_PrintError(outcome.failure);
      std::printf(" The plan deletes every title on the card: give --force to do it.\n");
    }
  } else {
    SyncHooks hooks;
    if (!options.json) {
      hooks.starting = [](const SyncStep&, const std::string& line) { std::fputs(line.c_str(), stdout); };
      hooks.added = [](const SyncStep&, VexoResult added) {
        if (added == 0) {
          vexo_EndProgressLine();
          std::fputs(kDoneLine, stdout);
        } else if (cli_IsSongRefusal(added)) {
          std::printf("\n Skipped: %s\n", vexo_ResultMessage(added));
        }
      };
    }
    outcome = cli_SyncCarryOut(kind, port, slot, run, cardName != nullptr || cardType != 0, hooks);
    if (outcome.failure != 0 && !options.json) cli_PrintError(outcome.failure);
    if (outcome.wrote) cli_ReleaseAdapterLines(kind, port, slot);
  }
  cli_SyncEnd(&run);
  vexo_Close(kind, port);
  VexoResult failure = outcome.failure;
  if (options.json) {
    if (vexo_StopRequested() && failure != 0) failure = -VEXO_ERROR_TRANSFER_STOPPED;
    out["dryRun"] = options.dryRun;
    out["error"] = -failure;
    out["message"] = vexo_ResultMessage(failure);
    out["songsOnCard"] = outcome.songsOnCard;
    std::printf("%s\n", out.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  } else if (!options.dryRun && failure != -VEXO_ERROR_DELETES_ALL) {
    std::printf("\n The card holds %u of %u songs.\n", outcome.songsOnCard, plan.songCount);
  }
  vexo_SettleDelay(kind);
  return failure != 0 ? VEXO_EXIT_FAILED : VEXO_EXIT_DONE;
}

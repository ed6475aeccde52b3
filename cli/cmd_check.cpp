// --check and --repair: the report of what the card's header and table
// hold that cannot be trusted, one line per finding, and the repair's plan
// before its one header write.
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "card/card_check.h"
#include "card/charset.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/listing_json.h"
#include "base/result_codes.h"
#include "transport/transport.h"

namespace {

using Json = nlohmann::ordered_json;

std::string Named(const CardCheck& check, uint32_t title) {
  const TitleEntry& entry = check.entries[title - 1];
  const std::string text(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES));
  return "Title " + std::to_string(title) + " \"" + title_ToTerminal(text.c_str(), true) + "\"";
}

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

// One finding as the report says it, without the leading blank and the
// line's end.
std::string ProblemLine(const CardCheck& check, const TableProblem& p) {
  char line[160] = {};
  switch (p.kind) {
    case TableProblemKind::Damaged:
      return Named(check, p.title) + " is damaged: " + card_DamageText(p.damage) + ".";
    case TableProblemKind::Overlap:
      std::snprintf(line, sizeof line, " and title %u overlap by %llu bytes.", p.other, U(p.bytes));
      return Named(check, p.title) + line;
    case TableProblemKind::Duplicate:
      return Named(check, p.title) + " is listed twice: title " + std::to_string(p.other) +
             " has the same start and size.";
    case TableProblemKind::Byte30:
      return Named(check, p.title) + ": byte 30 of its entry is not 0.";
    case TableProblemKind::NotDisplayCode:
      return Named(check, p.title) + " holds characters the player does not show.";
    case TableProblemKind::NotMpeg:
      return Named(check, p.title) + " starts with neither an MPEG frame nor an ID3 tag.";
    case TableProblemKind::CountPastHeaderArea:
      std::snprintf(line, sizeof line, "The header counts %llu titles; the header area holds %u.",
                    U(p.bytes), p.other);
      return line;
    case TableProblemKind::TableEndWrong:
      std::snprintf(line, sizeof line, "The header's table end is %llu; the table ends at %u.",
                    U(p.bytes), p.other);
      return line;
  }
  return {};
}

const char* KindWord(TableProblemKind kind) {
  switch (kind) {
    case TableProblemKind::Damaged: return "damaged";
    case TableProblemKind::Overlap: return "overlap";
    case TableProblemKind::Duplicate: return "duplicate";
    case TableProblemKind::Byte30: return "byte30";
    case TableProblemKind::NotDisplayCode: return "notDisplayCode";
    case TableProblemKind::NotMpeg: return "notMpeg";
    case TableProblemKind::CountPastHeaderArea: return "countPastHeaderArea";
    case TableProblemKind::TableEndWrong: return "tableEndWrong";
  }
  return "";
}

Json ProblemJson(const CardCheck& check, const TableProblem& p) {
  Json item = {{"kind", KindWord(p.kind)}};
  switch (p.kind) {
    case TableProblemKind::CountPastHeaderArea:
      item["count"] = p.bytes;
      item["holds"] = p.other;
      break;
    case TableProblemKind::TableEndWrong:
      item["tableEnd"] = p.bytes;
      item["expected"] = p.other;
      break;
    default:
      item["title"] = p.title;
      item["name"] = title_ToUtf8(std::string(check.entries[p.title - 1].title.data(), TITLE_TEXT_BYTES - 1).c_str());
      break;
  }
  if (p.kind == TableProblemKind::Damaged) item["reason"] = card_DamageText(p.damage);
  if (p.kind == TableProblemKind::Overlap) item["with"] = p.other, item["bytes"] = p.bytes;
  if (p.kind == TableProblemKind::Duplicate) item["copyOf"] = p.other;
  item["text"] = ProblemLine(check, p);
  return item;
}

int PrintCheck(const CardCheck& check, bool json) {
  const std::size_t problems = check.table.problems.size();
  if (json) {
    Json report = {{"valid", true}, {"cardSize", check.header.cardSize}, {"titles", check.entries.size()},
                   {"problems", Json::array()}, {"free", Json::array()}};
    for (const TableProblem& p : check.table.problems) report["problems"].push_back(ProblemJson(check, p));
    for (const FreeStretch& f : check.table.free) report["free"].push_back({{"start", f.start}, {"bytes", f.bytes}});
    report["sound"] = problems == 0;
    std::printf("%s\n", report.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  } else {
    std::printf("\n");
    for (const TableProblem& p : check.table.problems) std::printf(" %s\n", ProblemLine(check, p).c_str());
    for (const FreeStretch& f : check.table.free) {
      std::printf(" Free: %llu bytes from byte %llu.\n", U(f.bytes), U(f.start));
    }
    if (problems == 0) {
      std::printf(" Card is sound.\n");
    } else {
      std::printf(" %zu problems found.\n", problems);
    }
  }
  return problems == 0 ? VEXO_EXIT_DONE : VEXO_EXIT_FAILED;
}

int PrintNoValidHeader(const CardHeader& header, bool json) {
  char version[16];
  cli_VersionText(header.version, version, sizeof version);
  if (json) {
    const Json report = {{"valid", false}, {"cardSize", header.cardSize}, {"version", version},
                         {"problems", Json::array({{{"kind", "noValidHeader"}}})}, {"sound", false}};
    std::printf("%s\n", report.dump(2).c_str());
  } else {
    std::printf("\n The card has no valid header: it holds no playlist.\n 1 problems found.\n");
  }
  return VEXO_EXIT_FAILED;
}

void PrintPlan(const CardCheck& check, const RepairPlan& plan) {
  std::printf("\n Plan:\n");
  for (const TableProblem& p : plan.drops) {
    if (p.kind == TableProblemKind::Damaged) {
      std::printf(" %s leaves the table (damaged: %s); its bytes stay on the card.\n",
                  Named(check, p.title).c_str(), card_DamageText(p.damage));
    } else {
      std::printf(" %s leaves the table: it lists title %u again.\n", Named(check, p.title).c_str(), p.other);
    }
  }
  for (const uint32_t title : plan.clearByte30) {
    std::printf(" %s: byte 30 of its entry becomes 0.\n", Named(check, title).c_str());
  }
  const auto count = static_cast<uint32_t>(check.entries.size() - plan.drops.size());
  for (const TableProblem& p : plan.rewrites) {
    if (p.kind == TableProblemKind::CountPastHeaderArea) {
      std::printf(" The header's count of %llu titles becomes %u.\n", U(p.bytes), count);
    } else {
      std::printf(" The header's table end %llu becomes %llu.\n", U(p.bytes),
                  U(card_TableEnd(check.header, count)));
    }
  }
  for (const TableProblem& p : plan.kept) std::printf(" Kept: %s\n", ProblemLine(check, p).c_str());
  if (plan.Empty()) std::printf(" Nothing to repair.\n");
}

}  // namespace

int cmd_Check(int32_t kind, int32_t port, int32_t slot, bool json, const char* imagePath) {
  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) return cli_PrintError(opened);
  CardCheck check;
  const VexoResult result = card_CheckCard(kind, port, slot, &check);
  vexo_Close(kind, port);
  if (result != 0 && result != -VEXO_ERROR_NO_VALID_HEADER) return cli_PrintError(result);
  vexo_SettleDelay(kind);
  return result == 0 ? PrintCheck(check, json) : PrintNoValidHeader(check.header, json);
}

int cmd_Repair(int32_t kind, int32_t port, int32_t slot, bool dryRun, const char* imagePath) {
  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) return cli_PrintError(opened);
  bool writes = false;
  const VexoResult result = card_Repair(kind, port, slot, dryRun, [&](const CardCheck& check, const RepairPlan& plan) {
    PrintPlan(check, plan);
    writes = !plan.Empty() && !dryRun;
    if (!plan.Empty() && dryRun) std::printf(" Dry run: nothing written.\n");
  });
  vexo_Close(kind, port);
  int status = VEXO_EXIT_DONE;
  if (result != 0) {
    status = cli_PrintError(result);
  } else if (writes) {
    if (kind == VEXO_PORT_PARALLEL) cmd_Get(VEXO_PORT_PARALLEL, port, slot, 0, nullptr);
    std::printf("\n Card repaired.\n");
  }
  vexo_SettleDelay(kind);
  return status;
}

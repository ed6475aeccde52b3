// Long copies through the simulated player, each against its reference in
// the same run:
//  - a --rawread stopped at three quarters and resumed, against one search and
//    a plain copy of the sectors it had not yet copied (the least a resumed
//    copy can cost);
//  - --rawread --used on a half-full card against the whole card's copy.
// By default the player paces the line at 115200 baud and every pause runs at
// its full length, as on the real line (a 2 MiB card: about nine minutes).
// "bench_copies fast" serves the pty as fast as it goes with the pauses
// shortened: a quick check of the sector counts, whose time ratios the fixed
// costs dominate. Prints the sectors the player sent, the pause units, and
// both ratios.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "card/header_format.h"
#include "card/playlist.h"
#include "host/copy_map.h"
#include "host/pauses.h"
#include "sim/player_sim_session.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kSectors = 4096;  // a 2 MiB card
constexpr uint32_t kCardBytes = kSectors * 512;
constexpr uint32_t kStopAfter = 3000;  // sectors the first run gets before the card goes

struct Cost {
  double seconds = 0;
  uint32_t sectors = 0;  // blocks the player sent
  uint64_t pauseUnits = 0;
  VexoResult result = 0;
};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Pattern bytes under a header that lists two titles filling the card's
// first half; empty when the header would not read back as valid.
std::vector<uint8_t> HalfFullCard() {
  std::vector<uint8_t> card(kCardBytes);
  for (uint32_t i = 0; i < kCardBytes; ++i) card[i] = static_cast<uint8_t>(i * 131u + i / 509u + 7u);
  std::fill(card.begin(), card.begin() + DATA_AREA_START, 0);
  TitleEntry one;
  one.startAddress = DATA_AREA_START;
  one.size = kCardBytes / 4 - 1000;
  card_SetTitleText(&one, "One");
  TitleEntry two;
  two.startAddress = DATA_AREA_START + (one.size + 511) / 512 * 512;  // the sector behind it
  two.size = kCardBytes / 2 - two.startAddress;
  card_SetTitleText(&two, "Two");
  CardHeader header;
  card_DefaultHeader(&header, 1);
  card_SetCardName(&header, "Half");
  header.cardSize = kCardBytes;
  card_EncodeHeaderFields(header, 2, static_cast<uint32_t>(card_TableEnd(header, 2)), card.data());
  card_EncodeTitle(one, card.data() + header.tableOffset);
  card_EncodeTitle(two, card.data() + header.tableOffset + header.entrySize);
  std::vector<TitleEntry> entries;
  if (!card_DecodeHeaderArea(card.data(), DATA_AREA_START, &header, &entries) || entries.size() != 2) {
    return {};
  }
  return card;
}

template <typename Run>
Cost Measure(Run run) {
  playersim_ResetCounters();
  vexo_ResetDelayUnitsTotal();
  const auto start = std::chrono::steady_clock::now();
  Cost cost;
  cost.result = run();
  cost.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.sectors = playersim_Counters().blocksSent;
  cost.pauseUnits = vexo_DelayUnitsTotal();
  return cost;
}

VexoResult BackUp(const std::string& path, int used) {
  VexoResumeNote note = VexoResumeNote::Fresh;
  uint32_t from = 0;
  return card_BackUp(VEXO_PORT_SERIAL, 1, 1, path.c_str(), 0, used, &note, &from);
}

void Print(const char* what, const Cost& cost) {
  std::printf("  %-44s %7.3f s  %5u sectors  %4llu pause units%s\n", what, cost.seconds,
              static_cast<unsigned>(cost.sectors), static_cast<unsigned long long>(cost.pauseUnits),
              cost.result == 0 ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  const bool fast = argc > 1 && std::string(argv[1]) == "fast";
  const int rounds = fast ? 3 : 1;
  char folder[] = "/tmp/vexo-bench-copies-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string dir = folder;
  const std::string image = dir + "/card.img";
  const std::vector<uint8_t> card = HalfFullCard();
  if (card.empty()) return 1;
  std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(card.data()),
                                               static_cast<std::streamsize>(card.size()));
  PlayerSimConfig config;
  config.slots[0].imagePath = image;
  config.slots[0].cardSize = kCardBytes;
  config.baud = fast ? 0 : kPlayerLineSpeed;
  PlayerSimSession session(config, fast);
  if (!session.started || vexo_Open(VEXO_PORT_SERIAL, 1, 115200, nullptr) != 0) return 1;

  std::printf("Long copies through the simulated player, a %u-sector card, %s, best of %d:\n",
              kSectors, fast ? "unpaced, pauses shortened" : "115200 baud, full pauses", rounds);
  Cost whole, used, reference, resumed;
  bool equal = true;
  for (int round = 0; round < rounds; ++round) {
    const std::string tag = std::to_string(round);
    const Cost w = Measure([&] { return BackUp(dir + "/whole" + tag, 0); });
    const Cost u = Measure([&] { return BackUp(dir + "/used" + tag, 1); });
    // The first run of a copy loses the card after kStopAfter sectors.
    PlayerFaults faults;
    faults.emptySlot = 1;
    faults.emptyAfterSectors = kStopAfter;
    playersim_SetFaults(faults);
    const std::string copy = dir + "/resumed" + tag;
    BackUp(copy, 0);
    playersim_SetFaults(PlayerFaults{});
    playersim_SetSlotImage(1, image, kCardBytes);
    VexoCopyMap map;
    if (!vexo_LoadCopyMap(copy.c_str(), &map)) return 1;
    const uint32_t left = kCardBytes - map.done * 512;
    const Cost r = Measure([&] {
      uint32_t size = 0;
      const VexoResult found = vexo_Search(VEXO_PORT_SERIAL, 1, 1, &size, 5);
      if (found != 0) return found;
      return vexo_ReadFile(VEXO_PORT_SERIAL, 1, 1, map.done, left, (dir + "/rest" + tag).c_str(), 0);
    });
    const Cost c = Measure([&] { return BackUp(copy, 0); });
    equal = equal && ReadAll(copy) == card && ReadAll(dir + "/whole" + tag) == card;
    if (round == 0 || w.seconds < whole.seconds) whole = w;
    if (round == 0 || u.seconds < used.seconds) used = u;
    if (round == 0 || r.seconds < reference.seconds) reference = r;
    if (round == 0 || c.seconds < resumed.seconds) resumed = c;
    if (round == 0) std::printf("  the stopped copy had %u sectors, %u left\n", map.done, kSectors - map.done);
  }
  vexo_Close(VEXO_PORT_SERIAL, 1);
  Print("whole card (--rawread)", whole);
  Print("used part, half the card (--rawread --used)", used);
  Print("reference: one search + the sectors left", reference);
  Print("resumed copy (--rawread again)", resumed);
  std::printf("  copies equal to the card: %s\n", equal ? "yes" : "NO");
  std::printf("resumed / (sectors left + one search): %.3f in time, %.3f in sectors (target <= 1.0 + "
              "the header and its table)\n",
              resumed.seconds / reference.seconds,
              static_cast<double>(resumed.sectors) / static_cast<double>(reference.sectors));
  std::printf("--used on a half-full card / whole card: %.3f in time (target <= 0.55)\n",
              used.seconds / whole.seconds);
  std::filesystem::remove_all(dir);
  return equal ? 0 : 1;
}

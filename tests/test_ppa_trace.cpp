// The adapter's register trace read back by a decoder of its own: it knows
// only the wiring (raw data bit 7 = clock low, bit 0 = CMD low, bit 1 = DAT
// low; raw status bit 4 = CMD low, bit 5 = DAT low) and the MMC bus, and
// shares no code with the driver or the simulator.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "support/test_support.h"

namespace {

struct Access {
  std::string reg;
  char direction;
  unsigned value;
};

// Bitwise polynomial division over a list of bits, MSB first.
unsigned Remainder(const std::vector<int>& bits, unsigned poly, int width) {
  unsigned reg = 0;
  const unsigned top = 1u << (width - 1);
  const unsigned mask = (1u << width) - 1;
  for (const int bit : bits) {
    const bool feedback = ((reg & top) != 0) != (bit != 0);
    reg = (reg << 1) & mask;
    if (feedback) reg ^= poly;
  }
  return reg;
}

std::vector<int> BitsOf(const std::vector<uint8_t>& bytes) {
  std::vector<int> bits;
  for (const uint8_t b : bytes) {
    for (int i = 7; i >= 0; --i) bits.push_back((b >> i) & 1);
  }
  return bits;
}

unsigned Value(const std::vector<int>& bits, std::size_t from, std::size_t count) {
  unsigned v = 0;
  for (std::size_t i = 0; i < count; ++i) v = (v << 1) | static_cast<unsigned>(bits[from + i]);
  return v;
}

struct HostToken {
  unsigned index;
  unsigned argument;
  bool crcGood;
  std::size_t clock;  // rising edge of the end bit
};

struct Decoded {
  std::vector<HostToken> tokens;
  std::vector<int> hostDat;    // host DAT level at every rising edge
  std::vector<int> sampleDat;  // line DAT level sampled in each clock's low half (-1: none)
  std::vector<int> sampleCmd;
  bool pairsAgree = true;
  bool fixedBitsReleased = true;  // raw data bits 3..6 always 0
  bool commandModeOnlyInTokens = true;
};

Decoded Decode(const std::vector<Access>& trace) {
  Decoded d;
  bool clockHigh = true;
  int pendingCmd = -1;
  int pendingDat = -1;
  std::vector<int> cmdBits;
  bool inToken = false;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const Access& a = trace[i];
    if (a.reg == "status") {
      if (i + 1 < trace.size() && trace[i + 1].reg == "status" && pendingDat < 0) {
        if (trace[i + 1].value != a.value) d.pairsAgree = false;
        pendingCmd = (a.value & 0x10) != 0 ? 0 : 1;
        pendingDat = (a.value & 0x20) != 0 ? 0 : 1;
      }
      continue;
    }
    if (a.reg != "data") continue;
    if ((a.value & 0x78) != 0) d.fixedBitsReleased = false;
    const bool high = (a.value & 0x80) == 0;
    const int cmd = (a.value & 0x01) != 0 ? 0 : 1;
    const int dat = (a.value & 0x02) != 0 ? 0 : 1;
    if (high && !clockHigh) {
      const std::size_t clock = d.hostDat.size();
      d.hostDat.push_back(dat);
      d.sampleDat.push_back(pendingDat);
      d.sampleCmd.push_back(pendingCmd);
      pendingDat = -1;
      pendingCmd = -1;
      const bool commandMode = (a.value & 0x04) != 0;
      if (!inToken && cmd == 0) inToken = true;
      if (inToken) {
        cmdBits.push_back(cmd);
        if (!commandMode) d.commandModeOnlyInTokens = false;
        if (cmdBits.size() == 48) {
          const std::vector<int> covered(cmdBits.begin(), cmdBits.begin() + 40);
          d.tokens.push_back(HostToken{Value(cmdBits, 2, 6), Value(cmdBits, 8, 32),
                                       cmdBits[1] == 1 && cmdBits[47] == 1 &&
                                           Remainder(covered, 0x09, 7) == Value(cmdBits, 40, 7),
                                       clock});
          cmdBits.clear();
          inToken = false;
        }
      } else if (commandMode) {
        d.commandModeOnlyInTokens = false;
      }
    }
    clockHigh = high;
  }
  return d;
}

class TracedRun : public testing::Test {
 protected:
  void SetUp() override {
    vexo_test::UseNoAdapterWaits();
    mmcsim_InstallMemoryCard(MmcSimConfig{});
    trace_ = std::make_unique<vexo_test::AdapterTrace>();
  }
  void TearDown() override {
    trace_.reset();
    mmcsim_Remove();
  }
  std::vector<Access> Trace() {
    std::vector<Access> accesses;
    for (const std::string& line : trace_->Lines()) {
      std::istringstream in(line);
      std::string reg;
      char direction = 0;
      std::string value;
      if (in >> reg >> direction >> value) {
        accesses.push_back(Access{reg, direction, static_cast<unsigned>(std::stoul(value, nullptr, 16))});
      }
    }
    return accesses;
  }
  std::unique_ptr<vexo_test::AdapterTrace> trace_;
};

TEST_F(TracedRun, OpenSearchReadAndWriteOnTheWire) {
  const std::vector<uint8_t> stored = vexo_test::Pattern(512, 41);
  mmcsim_WriteSector(5, stored.data());
  const std::vector<uint8_t> written = vexo_test::Pattern(512, 42);

  ASSERT_EQ(ppa_Open(1), 0);
  uint32_t size = 0;
  ASSERT_EQ(ppa_Search(&size, 5), 0);
  SectorBuffer buffer{};
  ASSERT_EQ(ppa_ReadSectorRtr(1, 5, buffer, 4), 0);
  std::memcpy(buffer.data(), written.data(), 512);
  ASSERT_EQ(ppa_WriteSectorFirstRtr(1, 6, buffer, 4), 0);

  // The power-on part of the trace is checked in the register tests.
  const Decoded d = Decode(Trace());
  EXPECT_TRUE(d.pairsAgree);
  EXPECT_TRUE(d.fixedBitsReleased);
  EXPECT_TRUE(d.commandModeOnlyInTokens);
  std::vector<unsigned> indexes;
  for (const HostToken& t : d.tokens) {
    EXPECT_TRUE(t.crcGood) << t.index;
    indexes.push_back(t.index);
  }
  EXPECT_EQ(indexes, (std::vector<unsigned>{0, 1, 1, 1, 1, 2, 3, 9, 7, 16, 18, 12, 25}));
  ASSERT_EQ(d.tokens.size(), 13u);
  EXPECT_EQ(d.tokens[1].argument, 0x1C0000u);
  EXPECT_EQ(d.tokens[10].argument, 5u * 512u);
  EXPECT_EQ(d.tokens[12].argument, 6u * 512u);

  // The card's block after CMD18: first DAT-low sample, 4096 data bits and a
  // CRC16 that divides to 0.
  std::size_t c = d.tokens[10].clock + 1;
  while (c < d.sampleDat.size() && d.sampleDat[c] != 0) ++c;
  ASSERT_LT(c + 4113, d.sampleDat.size());
  std::vector<int> readBits(d.sampleDat.begin() + static_cast<std::ptrdiff_t>(c + 1),
                            d.sampleDat.begin() + static_cast<std::ptrdiff_t>(c + 1 + 4112));
  EXPECT_EQ(std::vector<int>(readBits.begin(), readBits.begin() + 4096), BitsOf(stored));
  EXPECT_EQ(Remainder(readBits, 0x1021, 16), 0u);
  // The response to CMD18 starts in the 2..64 window.
  std::size_t r = d.tokens[10].clock + 1;
  while (d.sampleCmd[r] != 0) ++r;
  EXPECT_GE(r - d.tokens[10].clock - 1, 2u);
  EXPECT_LE(r - d.tokens[10].clock - 1, 64u);

  // The host's block after CMD25 on DAT: start bit, the data, its CRC16, end bit.
  std::size_t w = d.tokens[12].clock + 1;
  while (w < d.hostDat.size() && d.hostDat[w] != 0) ++w;
  ASSERT_LT(w + 4114, d.hostDat.size());
  const std::vector<int> sent(d.hostDat.begin() + static_cast<std::ptrdiff_t>(w + 1),
                              d.hostDat.begin() + static_cast<std::ptrdiff_t>(w + 1 + 4112));
  EXPECT_EQ(std::vector<int>(sent.begin(), sent.begin() + 4096), BitsOf(written));
  EXPECT_EQ(Remainder(sent, 0x1021, 16), 0u);
  EXPECT_EQ(d.hostDat[w + 4113], 1);
  // CRC status token two clocks after the end bit: samples 0 010 1.
  std::vector<int> token(d.sampleDat.begin() + static_cast<std::ptrdiff_t>(w + 4114 + 2),
                         d.sampleDat.begin() + static_cast<std::ptrdiff_t>(w + 4114 + 7));
  EXPECT_EQ(token, (std::vector<int>{0, 0, 1, 0, 1}));
}

}  // namespace

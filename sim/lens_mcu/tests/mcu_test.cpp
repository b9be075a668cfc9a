// The lens MCU's answers to the packets the lens calibration and the IR self-check rely on: the zoom
// count reckoned from the zoom bias, a lens unit whose optics sit off the lens tables, IR LEDs that
// follow their level and not the filter, and a mechanism that takes its command and does not move.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "kavo/sim/core/journal.h"
#include "lens_model.h"
#include "mcu.h"

namespace kavo {
namespace sim {
namespace lens {
namespace {

constexpr uint64_t kS = 1000000000ull;

class McuTest : public ::testing::Test {
 protected:
  void make(const McuConfig& c) { mcu_ = std::make_unique<Mcu>(c, now_); }

  // Sends `bytes` (without the 81 header and FF) and returns every write due within `waitS` seconds.
  std::vector<std::vector<uint8_t>> send(std::vector<uint8_t> bytes, double waitS = 0) {
    bytes.insert(bytes.begin(), 0x81);
    bytes.push_back(0xFF);
    JournalLine line;
    mcu_->take(bytes.data(), bytes.size(), now_, Surroundings{}, line);
    // In steps, as the program brings the lens up to date between packets.
    std::vector<std::vector<uint8_t>> out;
    const uint64_t end = now_ + static_cast<uint64_t>(waitS * kS);
    do {
      now_ = std::min(end, now_ + kS / 100);
      mcu_->advance(now_);
      Output o;
      while (mcu_->nextDue(now_, o)) out.push_back(o.bytes);
    } while (now_ < end);
    return out;
  }

  static std::vector<uint8_t> word(uint8_t a, uint8_t b, uint8_t c, uint32_t v) {
    return {a, b, c, uint8_t(v >> 12 & 15), uint8_t(v >> 8 & 15), uint8_t(v >> 4 & 15), uint8_t(v & 15)};
  }
  uint32_t inquire(uint8_t code) {
    const auto out = send({0x09, 0x04, code});
    EXPECT_EQ(out.size(), 1u);
    if (out.empty() || out[0].size() != 7) return ~0u;
    const auto& a = out[0];
    return (a[2] << 12) | (a[3] << 8) | (a[4] << 4) | a[5];
  }

  uint64_t now_ = 1000 * kS;
  std::unique_ptr<Mcu> mcu_;
};

TEST_F(McuTest, TheZoomBiasMovesTheCountNotTheLens) {
  McuConfig c;
  c.zoom = 30;
  make(c);
  const int32_t infinity = mcu_->outputs().focusInfinity;
  send(word(0x01, 0x04, 0xD6, 18));
  // The same place of the lens now counts 18 less; what the sensor sees has not changed.
  EXPECT_EQ(inquire(0x47), 12u);
  EXPECT_EQ(inquire(0xD6), 18u);
  EXPECT_EQ(mcu_->outputs().focusInfinity, infinity);
  // Targets are counted from the bias too: zoom 12 is where the lens already is.
  send(word(0x01, 0x04, 0x47, 12), 1.0);
  EXPECT_EQ(mcu_->outputs().focusInfinity, infinity);
  send(word(0x01, 0x04, 0xD6, 0));
  EXPECT_EQ(inquire(0x47), 30u);
}

TEST_F(McuTest, ALensUnitOffTheTablesIsInFocusWhereItsOpticsAre) {
  const LensGeometry g = geometryOf(0);
  McuConfig c;
  c.zoomOrigin = 20;
  c.focusOffsetWide = 6;
  c.focusOffsetTele = -10;
  make(c);
  // At count 0 the optics stand 20 stops short of the tables' wide end, where the curves go on.
  const double slope = (focusInfinity(g, 4) - focusInfinity(g, 0)) / 4;
  EXPECT_NEAR(mcu_->outputs().focusInfinity, focusInfinity(g, 0) - 20 * slope + 6, 1.0);
  EXPECT_LT(mcu_->outputs().focusInfinity, focusInfinity(g, 0));
  // The calibration's zoom bias of 20 puts the count's zero on the optical wide end.
  send(word(0x01, 0x04, 0xD6, 20));
  send(word(0x01, 0x04, 0x47, 0), 1.0);
  EXPECT_NEAR(mcu_->outputs().focusInfinity, focusInfinity(g, 0) + 6, 1.0);
  EXPECT_NEAR(mcu_->outputs().focusPerDioptre, focusPerDioptre(g, 0), 1.0);
  send(word(0x01, 0x04, 0x47, 607), 2.0);
  EXPECT_EQ(inquire(0x47), 607u);
  EXPECT_NEAR(mcu_->outputs().focusInfinity, focusInfinity(g, 607) - 10, 1.0);
  // At start "focus -1" means in focus at infinity for these optics, not for the tables'.
  c.zoom = 30;
  c.focus = -1;
  make(c);
  EXPECT_EQ(mcu_->outputs().focus, mcu_->outputs().focusInfinity);
}

TEST_F(McuTest, AZoomAndFocusMoveEndsOnItsOwnFocusWithACurveInForce) {
  const LensGeometry g = geometryOf(0);
  make(McuConfig{});
  send(word(0x01, 0x04, 0xDD, 20), 1.0);  // the curve of a far object
  // The focus gets to its target long before the zoom does; the rest of the zoom must not drag it
  // back onto the curve.
  std::vector<uint8_t> move = word(0x01, 0x04, 0x47, 600);
  const auto focus = word(0, 0, 0, 1000);
  move.insert(move.end(), focus.begin() + 3, focus.end());
  send(move, 3.0);
  EXPECT_EQ(inquire(0x47), 600u);
  EXPECT_EQ(inquire(0x48), 1000u);
  // A zoom alone still follows the curve.
  send(word(0x01, 0x04, 0x47, 300), 3.0);
  EXPECT_NEAR(double(inquire(0x48)), curveFocus(g, 20, 300), 1.0);
}

TEST_F(McuTest, TheLedsFollowTheirLevelWhateverTheFilterDoes) {
  make(McuConfig{});
  EXPECT_EQ(mcu_->outputs().irLed, 0u);
  EXPECT_EQ(mcu_->outputs().irCutIn, 1u);
  send({0x01, 0x04, 0x01, 0x03});  // filter out: the LEDs stay as they are
  EXPECT_EQ(mcu_->outputs().irCutIn, 0u);
  EXPECT_EQ(mcu_->outputs().irLed, 0u);
  send(word(0x01, 0x04, 0xB1, 115));
  EXPECT_EQ(mcu_->outputs().irLed, 115u * 255 / 127);
  send({0x01, 0x04, 0x01, 0x02});  // filter in: the LEDs still light
  EXPECT_EQ(mcu_->outputs().irCutIn, 1u);
  EXPECT_EQ(mcu_->outputs().irLed, 115u * 255 / 127);
  send(word(0x01, 0x04, 0xB1, 0));
  EXPECT_EQ(mcu_->outputs().irLed, 0u);
}

TEST_F(McuTest, AStuckMechanismTakesItsCommandAndStays) {
  make(McuConfig{});
  std::vector<McuFault> faults(1);
  std::string error;
  ASSERT_TRUE(parseFault(nlohmann::json::parse(R"({"mcu": "stuck", "match": "01 04 01 02", "times": 0})"), faults[0],
                         error))
      << error;
  mcu_->setFaults(faults);
  EXPECT_EQ(send({0x01, 0x04, 0x01, 0x03}), (std::vector<std::vector<uint8_t>>{{0x90, 0x41, 0xFF}}));
  EXPECT_EQ(mcu_->outputs().irCutIn, 0u);
  // The filter jammed open: "in" is acknowledged, and the filter stays out, time after time.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(send({0x01, 0x04, 0x01, 0x02}), (std::vector<std::vector<uint8_t>>{{0x90, 0x41, 0xFF}}));
    EXPECT_EQ(mcu_->outputs().irCutIn, 0u);
  }
  // Other commands still act.
  send(word(0x01, 0x04, 0xB1, 20));
  EXPECT_EQ(mcu_->outputs().irLed, 20u * 255 / 127);
}

}  // namespace
}  // namespace lens
}  // namespace sim
}  // namespace kavo

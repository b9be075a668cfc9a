#pragma once
// The 3A statistics of one frame, computed from the same view of the scene and the sensor as the
// pictures, on a coarse grid: each AE/AWB tile from 8 x 8 points of its active area (the tiles,
// not every pixel), the histograms and the luma of the quarters from the same points, the focus
// values from high-pass energies of the chart at the frame's defocus (README.md).
#include <cstdint>
#include <vector>

#include "camera.h"
#include "kavo/os/iav.h"

namespace kavo {
namespace sim {
namespace iav {

using Statistics = iav_aaa_stats_buffers_t;

// False when the grid does not fit the records or the picture.
bool tilesValid(const iav_aaa_tile_info_t& t);

class StatisticsEngine {
 public:
  void compute(const FrameView& f, const iav_aaa_tile_info_t& tiles, const SensorConfig& cfg, Statistics& out);

 private:
  // Focus energies of each AF tile for a blur of `level` pixels of the half-size chart.
  const float* energies(const iav_aaa_tile_info_t& tiles, uint32_t mirror, int level);
  void buildChart();
  std::vector<float> chart_;        // luma reflectance of the chart at kAfWidth x kAfHeight
  std::vector<float> blurred_;      // scratch
  std::vector<float> scratch_;
  std::vector<float> energy_;       // [level][tile][2], NaN until computed
  iav_aaa_tile_info_t energyTiles_{};
  uint32_t energyMirror_ = 0;
  uint64_t rng_ = 0x9e3779b97f4a7c15ull;
};

constexpr int kAfWidth = 960, kAfHeight = 540;  // the chart for focus energies: half of 1920 x 1080
constexpr int kAfLevels = 48;                   // blur radii 0..47 pixels of that chart

}  // namespace iav
}  // namespace sim
}  // namespace kavo

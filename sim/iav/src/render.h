#pragma once
// The pictures the simulated DSP encodes: the chart through the lens, the sensor and the DSP's
// colour pipeline as the frame's view has them (camera.h), privacy masks, and the picture-number
// band that tests read back (tools/read_frame_numbers.py). A coarse model evaluated with tables:
// the chart is rasterised once per picture size, each frame builds small look-up tables from the
// view and runs one pass over the pixels; nothing is allocated per picture.
#include <cstdint>
#include <vector>

#include "camera.h"

namespace kavo {
namespace sim {
namespace iav {

// Number cells: kCellCols x kCellRows cells in the top quarter of the picture, 32 bits of the
// number then a 16-bit check, most significant bit first, row by row; black (16) and white (235)
// whatever the exposure, turned with the picture by the sensor's pattern and the stream's flips.
constexpr int kCellCols = 12;
constexpr int kCellRows = 4;
uint16_t sceneCheck(uint32_t number);
// Reads the number back from a luma plane; false when the check does not match.
bool readSceneNumber(const uint8_t* y, int w, int h, uint32_t* number);

// The privacy masks in force for a picture: the bitmap of one mask buffer over the main source
// buffer's blocks.
struct MaskView {
  const uint8_t* bitmap = nullptr;  // null: no masks
  uint32_t blocksX = 0, blocksY = 0;
  uint32_t mainWidth = 0, mainHeight = 0;
  uint8_t y = 0, u = 0, v = 0;
};

class Renderer {
 public:
  // Sizes every buffer for pictures of w x h (even sizes).
  void configure(int w, int h);
  bool configured() const { return w_ > 0; }
  // Renders input frame `f` as picture `number` into I420 planes (strides w, w/2, w/2). `hflip`
  // and `vflip` are the stream's own flips, on top of the sensor's pattern.
  void render(const FrameView& f, uint32_t number, bool hflip, bool vflip, const MaskView& masks, uint8_t* y,
              uint8_t* u, uint8_t* v);

 private:
  void buildChart();
  void buildTables(const FrameView& f);
  void blurChart(int radius);
  void boxBlur(const uint32_t* src, uint32_t* dst, int w, int h, int k);
  void drawBand(uint32_t number, bool hflip, bool vflip, uint8_t* y, uint8_t* u, uint8_t* v);
  void drawMasks(const MaskView& m, uint8_t* y, uint8_t* u, uint8_t* v);
  // The tone-mapped R, G, B of a pixel's codes with IR light on the sensor.
  void irPixel(uint32_t codes, int rgb[3]) const;

  int w_ = 0, h_ = 0;
  std::vector<uint32_t> chart_;    // reflectance codes R | G << 8 | B << 16 | IR << 24 (code 255 = 1.0)
  std::vector<uint32_t> blurred_;
  std::vector<uint32_t> scratch_;
  std::vector<uint32_t> halfChart_;    // the chart at half the size, for wide blurs
  std::vector<uint32_t> halfBlurred_;
  std::vector<uint64_t> colSums_;  // the blur's running sums down the columns
  int blurRadius_ = 0;
  std::vector<uint8_t> rowKind_;   // per chart row: 0 plain, 1 moving band, 2 with the noise screen
  int noiseX0_ = 0;                // first chart column of the noise screen
  std::vector<int32_t> xmap_, ymap_;
  std::vector<uint32_t> rows_;     // the codes of two output rows (the chroma of a row pair)
  bool irPath_ = false;
  uint8_t lut_[3][256];            // without IR: code -> 8-bit value
  int32_t vis_[3][256];            // with IR: code -> raw DN
  int32_t ir_[3][256];
  uint8_t out_[3][4097];           // raw DN / 4 -> 8-bit value
  int32_t sigma_[256];             // luma noise by green code, 1/8 of an 8-bit step
  int32_t yShare_[3][256];         // each channel's share of the luma by code (Q10; blue carries the offset)
  int16_t m_[9];
  int16_t off_[3];
  uint64_t rng_ = 0x2545f4914f6cdd1dull;
};

// The picture of input frame `number` with the DSP at its defaults and the default scene (tests,
// and the frames replay mode codes once).
void drawScene(uint8_t* y, uint8_t* u, uint8_t* v, int w, int h, uint32_t number, bool hflip, bool vflip);

}  // namespace iav
}  // namespace sim
}  // namespace kavo

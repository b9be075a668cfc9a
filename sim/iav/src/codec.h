#pragma once
// The simulated DSP's encoders: H.264 from libx264 and JPEG from libjpeg-turbo of the pictures of
// render.h, or pre-encoded frames replayed for benchmarks.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct x264_t;

namespace kavo {
namespace sim {
namespace iav {

struct EncodeParams {
  uint8_t type = 0;  // IAV_ENCODE_H264 or IAV_ENCODE_MJPEG
  int width = 0;
  int height = 0;
  uint32_t fpsNum = 30;
  uint32_t fpsDen = 1;
  uint32_t rcMode = 1;  // iav_rate_control_mode
  uint32_t avgBitrate = 1000000;
  uint32_t maxBitrate = 1000000;
  int jpegQuality = 70;
  bool replay = false;
  uint32_t replayFrames = 30;
  bool operator==(const EncodeParams& o) const;
};

enum class FrameKind { Idr, Intra, Predicted };

class StreamEncoder {
 public:
  StreamEncoder();
  ~StreamEncoder();
  StreamEncoder(const StreamEncoder&) = delete;
  StreamEncoder& operator=(const StreamEncoder&) = delete;

  // (Re)opens for new parameters; a change of bit rate only reconfigures the running encoder.
  bool configure(const EncodeParams& p, std::string& error);
  bool configured() const { return configured_; }
  const EncodeParams& params() const { return params_; }
  // True until the first frame after an (re)open: that frame is a key frame whatever was asked.
  bool fresh() const { return fresh_ && !params_.replay; }
  // True in replay mode: encode() hands out pre-encoded frames and ignores the picture.
  bool replaying() const { return params_.replay; }
  // The I420 picture the next encode() codes (strides w, w/2, w/2), filled by the caller.
  uint8_t* picture() { return planes_.data(); }
  // Encodes the picture. The bytes stay valid until the next call. `picType` is IAV_PIC_TYPE_*.
  bool encode(FrameKind kind, uint64_t pts90k, const uint8_t** data, uint32_t* size, uint32_t* picType,
              std::string& error);

 private:
  bool openH264(std::string& error);
  bool encodeLive(FrameKind kind, uint64_t pts90k, std::string& error);
  bool prepareReplay(std::string& error);
  void close();
  void ensure(size_t bytes);

  EncodeParams params_;
  bool configured_ = false;
  bool fresh_ = false;
  x264_t* x264_ = nullptr;
  void* tj_ = nullptr;
  std::vector<uint8_t> planes_;
  std::unique_ptr<uint8_t[]> out_;
  size_t outCap_ = 0;
  size_t outLen_ = 0;
  uint32_t outType_ = 0;
  uint64_t lastPts_ = 0;
  bool havePts_ = false;
  // replay
  struct Rec {
    size_t offset;
    uint32_t size;
    uint32_t type;
  };
  std::vector<uint8_t> store_;
  std::vector<Rec> recs_;
  size_t next_ = 0;
};

}  // namespace iav
}  // namespace sim
}  // namespace kavo

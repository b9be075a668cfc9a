#pragma once
// The DSP state that every process of a PC run sees: one plain record in a shared file under the
// test root (the simulator core's shared state), guarded by a robust process-shared mutex (a
// process killed while holding it does not wedge the others).
#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "kavo/os/iav.h"
#include "kavo/sim/core/shared_state.h"
#include "sensor.h"

namespace kavo {
namespace sim {
namespace iav {

constexpr uint32_t kStateMagic = 0x53564149;  // "IAVS"
constexpr uint32_t kStateVersion = 5;
constexpr int kMaxSources = 4;
constexpr int kMaxModes = 8;
constexpr int kMaxRates = 8;
constexpr int kMaxSinks = 4;
constexpr int kStreams = IAV_MAX_ENCODE_STREAMS;
constexpr int kSensorRegs = 64;

struct VinMode {
  uint32_t mode;
  uint32_t width;
  uint32_t height;
  uint32_t rateCount;
  uint32_t rates[kMaxRates];  // frame periods, fastest first
};

struct VinSource {
  char name[36];
  int32_t id;
  int32_t adapterId;
  uint32_t devType;
  int32_t sensorId;
  uint32_t defaultMode;
  uint32_t channels;
  uint32_t activeChannel;
  uint32_t modeCount;
  VinMode modes[kMaxModes];
};

struct Sink {
  int32_t id;
  int32_t sourceId;
  int32_t type;
  int32_t state;
  char name[32];
};

struct Stream {
  uint32_t formatSet;  // an encode format was given
  uint8_t type;        // IAV_ENCODE_*
  uint8_t source;
  uint16_t width;
  uint16_t height;
  uint16_t pad0;
  uint32_t fpsNum;  // frame-rate factor of the input rate
  uint32_t fpsDen;
  uint32_t gopN;
  uint32_t idrInterval;
  iav_h264_config_ex_s h264;
  iav_bitrate_ex_t bitrate;
  uint32_t encoding;
  uint32_t sessionId;
  uint64_t baseVin;     // input frame of the pacing base
  uint64_t taken;       // frames taken since the base
  uint64_t lastVin;     // input frame of the last frame taken
  uint64_t pictures;    // pictures taken over the DSP's life: the number the scene shows
  uint32_t gopPos;      // frames since the last key frame
  uint32_t gopsSinceIdr;
  uint32_t forceIdr;
  uint32_t configGen;   // bumped by every change that a running encoder must pick up
  uint32_t keySeen;
  uint32_t pad1;
};

// The image side that the processes of a run share: what the sensor and the DSP are set to, what
// the lens MCU and the GPIO publish, where the statistics are taken, the privacy masks, the scene
// script in force, the light sensor.
struct CameraShared {
  SettingsQueue sensor;      // the sensor's settings by the frame from which each applies
  DspSettings dsp;           // the DSP's, from the next frame
  LensInputs lens;
  iav_aaa_tile_info_t tiles;
  uint32_t tilesSet;
  uint32_t lensSet;          // bumped by each publication
  // Privacy masks: the set-up in force (enable 0: none) and the buffer the next one goes to.
  iav_privacy_mask_setup_ex_t mask;
  uint32_t maskNext;
  uint32_t maskBufferSize;
  // The scene script: the file's identity when a process first took it, and the DSP's clock then
  // (t = 0 of the script for every process).
  uint32_t sceneGen;  // bumped by setScene()
  uint32_t sceneTaken;
  uint64_t sceneIno;
  uint64_t sceneSize;
  int64_t sceneMtimeNs;
  uint64_t sceneEpochNs;
  // The light sensor.
  uint8_t alsPointer;   // register selected by the last write
  uint8_t alsControl;
  uint8_t alsStarted;   // a measurement runs or is done
  uint8_t alsLatched;   // ... and its result is in alsResult
  uint8_t alsResult[4];
  uint64_t alsReadyNs;  // the running measurement is ready at this time (DSP clock)
  uint64_t statsReads;  // statistics read, by every process
};

struct SharedState {
  SharedHeader head;
  pthread_mutex_t mutex;

  std::atomic<uint64_t> journalSeq;
  uint32_t dspState;
  int32_t chipId;

  // microcode
  uint32_t ucodeRunning;
  uint32_t pad1;
  iav_ucode_version_t bootVersion;  // what a good microcode reports once booted
  iav_ucode_load_info_t ucodeLayout;

  // video input
  uint32_t sourceCount;
  int32_t currentSource;
  VinSource sources[kMaxSources];
  int32_t vinSource;   // -1 until a mode is set
  uint32_t vinMode;
  uint32_t vinRate;    // frame period
  uint32_t vinWidth;
  uint32_t vinHeight;
  uint32_t vinRateSet;
  uint64_t vinStartNs;  // time of input frame 0

  // video output
  uint32_t sinkCount;
  uint32_t pad2;
  Sink sinks[kMaxSinks];

  // pipeline
  iav_system_resource_setup_ex_s limits;
  iav_system_setup_info_ex_t setupInfo;
  iav_source_buffer_type_all_ex_t bufferTypes;
  iav_source_buffer_format_all_ex_t bufferFormats;
  uint32_t limitsSet;
  uint32_t buffersSet;
  uint32_t audioClock;
  uint32_t pad3;
  Stream streams[kStreams];

  // frames
  uint32_t h264FrameNumber;   // number of the last H.264 frame handed out
  uint32_t mjpegFrameNumber;
  uint64_t lastPts;
  uint32_t ringSize;
  uint32_t writePos;
  uint32_t lastStart;  // the frame handed out last stays untouched until the next read
  uint32_t lastSize;
  uint32_t queueLimit;
  uint32_t dspMemSize;

  // clock
  uint32_t virtualClock;
  uint32_t autoAdvance;
  uint64_t virtualNow;

  uint32_t faultsGen;  // bumped by setFaults() so that running simulators re-read at once
  uint32_t pad4;

  // image side (ISP server)
  uint32_t shutter;
  uint32_t agcIndex;
  iav_vin_mirror_mode_t mirror;
  uint32_t antiFlicker;
  uint32_t triggerMode;
  iav_vin_black_level_t blackLevel;
  iav_vin_wb_gain_t wbGain;
  iav_qp_limit_ex_t qp[kStreams];
  iav_digital_zoom_ex_t zoom;
  uint32_t sensorRegCount;
  uint32_t pad5;
  iav_sensor_reg_t sensorRegs[kSensorRegs];
  uint64_t imageRequests;  // image-kernel requests taken

  CameraShared camera;
};

}  // namespace iav
}  // namespace sim
}  // namespace kavo

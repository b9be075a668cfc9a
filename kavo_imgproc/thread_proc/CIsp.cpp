// The image controller: components, devices, initialisation and the 3A enable. See CIsp.h.
#include "thread_proc/CIsp.h"

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "algo_atf/ATFControl.h"
#include "algo_awb/AWBControl.h"
#include "algo_mask/MaskControl.h"
#include "be_i2c/i2c_driver.h"
#include "be_iav/iav_driver.h"
#include "fe_subcpu/subcpu.h"
#include "misc/isp_log.h"
#include "misc/misc.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "CIsp";

template <class T>
void release(std::atomic<T*>& slot) {
  delete slot.exchange(nullptr, std::memory_order_acq_rel);
}

// Video-mode codes of get_vin_mode and what is printed for them.
struct VideoModeName {
  uint32_t code;
  const char* text;
};
const VideoModeName kVideoModes[] = {
    {10, "[CIsp]Video mode is XGA.\n"},
    {11, "[CIsp]Video mode is 1280x1024(SXGA).\n"},
    {16, "[CIsp]Video mode is 1280x960.\n"},
    {0xFFF8, "[CIsp]Video mode is 1080P.\n"},
    {0xFFF2, "[CIsp]Video mode is 720x480(D1 NTSC).\n"},
    {0, "[CIsp]Video mode is 720P.\n"},
    {0xFFF4, "[CIsp]Video mode is 720P.\n"},
};

// The statistics grid, the same for every video mode (positions and sizes in 1/4096 of the picture).
iav_aaa_tile_info_t tileGrid() {
  iav_aaa_tile_info_t t{};
  t.ae_awb_tile_changed = 1;
  t.af_tile_changed = 1;
  t.awb_tile_num_col = 12;
  t.awb_tile_num_row = 8;
  t.awb_tile_col_start = 0;
  t.awb_tile_row_start = 8;
  t.awb_tile_width = 340;
  t.awb_tile_height = 512;
  t.awb_tile_active_width = 340;
  t.awb_tile_active_height = 512;
  t.awb_pix_min_value = 0;
  t.awb_pix_max_value = 16383;
  t.ae_tile_num_col = 12;
  t.ae_tile_num_row = 8;
  t.ae_tile_col_start = 0;
  t.ae_tile_row_start = 8;
  t.ae_tile_width = 340;
  t.ae_tile_height = 512;
  t.ae_pix_min_value = 0;
  t.ae_pix_max_value = 16383;
  t.af_tile_num_col = 8;
  t.af_tile_num_row = 5;
  t.af_tile_col_start = 256;
  t.af_tile_row_start = 10;
  t.af_tile_width = 448;
  t.af_tile_height = 816;
  t.af_tile_active_width = 448;
  t.af_tile_active_height = 816;
  return t;
}

}  // namespace

CIsp::CIsp() {
  statsRequest = iavStatsRequest(stats);
  ComponentTable& c = g_isp.components;
  c.iav.store(new IAVDriver, std::memory_order_release);
  c.i2c.store(new I2CDriver, std::memory_order_release);
  c.threadProc.store(new ThreadProcStub, std::memory_order_release);
  c.subCpu.store(new SubCPU, std::memory_order_release);
  c.subCpuStub.store(new SubCPUStub, std::memory_order_release);
  c.ae.store(new AEControl, std::memory_order_release);
  c.awb.store(new AWBControl, std::memory_order_release);
  c.af.store(new CAFControl, std::memory_order_release);
  c.atf.store(new ATFControl, std::memory_order_release);
  c.mask.store(new MaskControl, std::memory_order_release);
}

CIsp::~CIsp() {
  ComponentTable& c = g_isp.components;
  release(c.iav);
  release(c.threadProc);
  release(c.subCpuStub);
  release(c.subCpu);
  release(c.ae);
  release(c.awb);
  release(c.af);
  release(c.atf);
  release(c.mask);
  release(c.i2c);
  CIsp* self = this;
  g_isp.controller.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

int CIsp::openDevices() {
  IAVDriver* driver = iavDriver();
  SubCPU* link = subCpu();
  driver->open_iav();
  maskControl()->init();
  if (g_isp.sys.systemType == ZOOMLENS) link->openSubCPU();
  link->openGPIO_xBrisk();
  if (g_isp.sys.sensor == SENSOR_AR0331) driver->set_sensor_RegData(0x2420, 0, 0);
  link->setCallback(afControl());
  return 0;
}

int CIsp::closeDevices() {
  SubCPU* link = subCpu();
  if (g_isp.sys.systemType != ZOOMLENS)
    link->closeGPIO();
  else
    link->closeSubCPU();
  maskControl()->close();
  iavDriver()->close_iav();
  return 0;
}

int CIsp::initialize(SystemParameters* parameters) {
  if (parameters != nullptr) system_.store(parameters, std::memory_order_release);
  IAVDriver* driver = iavDriver();
  // The library's hooks come before any other call into it.
  driver->dsp_lib_init();
  configureVideoMode();
  loadDefaults();
  driver->get_agc_info(&g_isp.agcInfo);
  driver->get_shutter_info(&g_isp.shutterInfo);
  g_isp.framePeriod.store(g_isp.shutterInfo.frame_period, std::memory_order_relaxed);
  printTileInfo();
  initialised.store(1, std::memory_order_release);
  return 0;
}

int CIsp::configureVideoMode() {
  uint32_t mode = 0;
  iavDriver()->get_vin_mode(&mode);
  g_isp.videoMode.store(static_cast<int32_t>(mode), std::memory_order_relaxed);
  const char* text = "***[CIsp]Video mode is unknown.\n";
  for (const VideoModeName& m : kVideoModes)
    if (m.code == mode) text = m.text;
  debugPrintf(0, "%s", text);
  tiles = tileGrid();
  iavDriver()->set_aaa_tiles_info(&tiles);
  return 0;
}

int CIsp::printTileInfo() {
  const iav_aaa_tile_info_t& t = tiles;
  debugPrintf(0,
              "[AWB_TILE_INFO]window info as follow:\n\ttile_num_col=%d\n\ttile_num_row=%d\n\ttile_col_start=%d\n"
              "\ttile_row_start=%d\n\ttile_width=%d\n\ttile_height=%d\n\ttile_pix_min_value=%d\n"
              "\ttile_pix_max_value=%d\n",
              t.awb_tile_num_col, t.awb_tile_num_row, t.awb_tile_col_start, t.awb_tile_row_start, t.awb_tile_width,
              t.awb_tile_height, t.awb_pix_min_value, t.awb_pix_max_value);
  debugPrintf(0,
              "[AF_TILE_INFO]window info as follow:\n\ttile_num_col=%d\n\ttile_num_row=%d\n\ttile_col_start=%d\n"
              "\ttile_row_start=%d\n\ttile_width=%d\n\ttile_height=%d\n\ttile_active_width=%d\n"
              "\ttile_active_height=%d\n",
              t.af_tile_num_col, t.af_tile_num_row, t.af_tile_col_start, t.af_tile_row_start, t.af_tile_width,
              t.af_tile_height, t.af_tile_active_width, t.af_tile_active_height);
  return 0;
}

void CIsp::loadDefaults() {
  agcTable.load(kAgcTable);
  shutterTable.load(kShutterTable);
  initPictureState();
  init_image_params(this);
}

void CIsp::initPictureState() {
  for (int i = 0; i < YuvSet::size; ++i) savedYuv.set(i, modelYuv.get(i));
  colourGain.store(60, std::memory_order_relaxed);
  brightness.store(0, std::memory_order_relaxed);
  contrastGain.store(64, std::memory_order_relaxed);
  saturation.store(64, std::memory_order_relaxed);
  hue.store(0, std::memory_order_relaxed);
}

int enable_aaa(CIsp* isp, int enable) {
  debugPrintf(0, "[enable AAA]: init AE AWB AF\r\n");
  if (isp == nullptr || isp->initialised.load(std::memory_order_acquire) != 1) {
    ISP_LOG_AS(kSource, __func__, LOG_LEVEL_WARNING, 0, "[enable_aaa]Parameters do not initial.\n");
    return -1;
  }
  if (isp->aeInitialised.load(std::memory_order_relaxed) == 0) {
    ae_control_init(isp);
    isp->aeInitialised.store(1, std::memory_order_relaxed);
  }
  if (isp->awbInitialised.load(std::memory_order_relaxed) == 0) {
    awb_control_init(isp);
    isp->awbInitialised.store(1, std::memory_order_relaxed);
  }
  if (isp->system().systemType == ZOOMLENS && isp->afInitialised.load(std::memory_order_relaxed) == 0) {
    resetAF(isp);
    isp->afInitialised.store(1, std::memory_order_relaxed);
  }
  isp->aaaEnabled.store(static_cast<uint32_t>(enable), std::memory_order_release);
  return 0;
}

int ipc_reset_mirror_state(CIsp* isp) {
  if (isp == nullptr) return 0;
  if (IAVDriver* driver = iavDriver()) {
    driver->reset_mirror_cache();
    driver->reset_wb_cache();
  }
  return 0;
}

}  // namespace isp
}  // namespace kavo

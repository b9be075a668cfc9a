// The start-up settings pass: the whole document into the image-parameter block, then the
// controller's settings operations in their fixed order.
#include "applysettings.h"

#include <string>

#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/CIsp_ImageAdj.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

// A shutter given as the denominator of the exposure time; 0 counts as 1/30 s.
uint32_t shutterDenominator(uint32_t v) { return v == 0 ? 30 : v; }

}  // namespace

void applyStartupSettings(IspSettings& settings) {
  CIsp* isp = controller();
  ImageParameters& p = g_isp.image;

  auto ae = settings.ae();
  const uint32_t target = ae.target();
  const uint32_t shutterMax = shutterDenominator(ae.shutter().max());
  const uint32_t shutterMin = shutterDenominator(ae.shutter().min());
  const uint32_t gainMax = ae.gain().max();
  const uint32_t manualShutter = shutterDenominator(ae.manual().shutter());
  const uint32_t manualGain = ae.manual().gain();
  p.manualIris.store(static_cast<uint16_t>(ae.manual().iris()));
  p.dssOn.store(ae.dss().mode() == "on" ? 1 : 0);
  // The document gives the slowest DSS frame rate; the exposure code takes a shutter index.
  p.dssMinimum.store(dssIndexOfFrameRate(ae.dss().min()));
  p.backlight.store(ae.blc());

  auto image = settings.image();
  p.brightness.store(image.brightness());
  p.contrast.store(image.contrast());
  p.saturation.store(image.saturation());
  p.hue.store(image.hue());
  p.sharpness.store(image.sharpness());
  p.wdrLevel.store(image.wdr());
  p.nrLevel.store(image.denoise());
  p.dayNrLevel.store(image.denoise());
  p.daySaturation.store(image.saturation());
  const uint8_t sts[6] = {image.irOnStsBrightness(), image.irOnStsContrast(), image.irOnStsSaturation(),
                          image.irOnStsHue(),        image.irOnStsSharpness(), image.irOnStsDenoise()};
  const uint32_t val[6] = {image.irOnValBrightness(), image.irOnValContrast(), image.irOnValSaturation(),
                           image.irOnValHue(),        image.irOnValSharpness(), image.irOnValDenoise()};
  for (int i = 0; i < 6; ++i) {
    p.irOnSts[i].store(sts[i]);
    p.irOnVal[i].store(val[i]);
  }
  p.flip.store(image.flip());
  p.mirror.store(image.mirror());

  auto misc = settings.misc();
  p.vportOutput[0].store(misc.vport0out() ? 1 : 0);
  p.vportOutput[1].store(misc.vport1out() ? 1 : 0);
  p.vportInputLevel[0].store(misc.vport0in());
  p.vportInputLevel[1].store(misc.vport1in());
  p.powerLedInterval.store(static_cast<uint16_t>(misc.powerled().interval()));

  if (isp == nullptr) return;
  setWDR(isp, static_cast<int>(p.wdrLevel.load()));
  ipc_set_brightness(isp, p.brightness.load());
  ipc_set_contrast(isp, p.contrast.load());
  ipc_set_saturation(isp, p.saturation.load());
  ipc_set_hue(isp, p.hue.load());
  ipc_set_sharpness(isp, p.sharpness.load());
  ipc_set_dzoom(isp, image.dzoom() ? 1 : 0);
  ipc_set_flip(isp, p.flip.load());
  ipc_set_mirror(isp, p.mirror.load());
  ipc_set_ae_target(isp, target);
  ipc_set_shutter_limits(isp, 1000000 / shutterMin, 1000000 / shutterMax);
  ipc_set_gain_limit(isp, gainMax);
  ipc_set_dss(isp, p.dssOn.load(), p.dssMinimum.load());
  ipc_set_manual_shutter(isp, 1000000 / manualShutter);
  ipc_set_manual_gain(isp, manualGain);
  ipc_set_ae_mode(isp, ae.mode().c_str());
  auto awb = settings.awb();
  ipc_set_awb_rgain(isp, awb.rgain());
  ipc_set_awb_bgain(isp, awb.bgain());
  ipc_set_color_temp(isp, awb.colortemp());
  ipc_set_awb_mode(isp, awb.mode().c_str());
  auto ir = settings.ir();
  ipc_set_ir_filter_thresholds(isp, ir.filter().thd2day(), ir.filter().thd2night(), ir.filter().cnt2day());
  ipc_set_ir_filter_mode(isp, ir.filter().mode().c_str());
  ipc_set_ir_led_level(isp, ir.led().level());
  ipc_set_ir_led_mode(isp, ir.led().mode().c_str());
  if (g_isp.board == TORVEX_BRISK || g_isp.board == TORVEX_TARROW) {
    ipc_set_focus_mode(isp, settings.motor().focus().mode().c_str());
    ipc_set_vport0_output(isp, p.vportOutput[0].load());
    ipc_set_vport1_output(isp, p.vportOutput[1].load());
    ipc_set_powerled_interval(isp, p.powerLedInterval.load());
  }
}

}  // namespace isp
}  // namespace kavo

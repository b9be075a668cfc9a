// Runs the high-ISO computation on an input record taken from the fuzzer's bytes, then what a caller
// does with the result: the scaler sizes, the record preparation (with a high-ISO sharpening value
// from the input), the DSP command and the dumps; then the low-ISO chroma scaler and preparation with
// sizes from the input. Every input starts from the defaults with high-ISO colour data loaded.
//   bytes 0..2299      img_high_iso_input (missing bytes are zero)
//   then 8             img_high_iso_scaler
//   then 1             the high-ISO sharpening value
//   then 12            low-ISO width, height and divisor (32-bit each)
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "img_dsp.h"
#include "state.h"

using imgdsp_fuzz::Input;
using imgdsp_fuzz::print;

namespace {

int request(int, unsigned long, void*) { return 0; }

// A register file and a high-ISO 3D table (header: version 1.0, high-ISO flag) with byte patterns.
std::vector<uint8_t> colourFile(size_t bytes, uint32_t third) {
  std::vector<uint8_t> f(bytes);
  for (size_t i = 12; i < bytes; i++) f[i] = static_cast<uint8_t>(i * 7);
  const uint32_t head[3] = {1, 0, third};
  std::memcpy(f.data(), head, sizeof head);
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const img_dsp_mem_ops ops = {std::malloc, std::free, std::memset, std::memcpy};
  static const std::vector<uint8_t> reg = colourFile(IMG_DSP_CC_REG_FILE_BYTES, IMG_DSP_CC_REG_FILE_BYTES);
  static const std::vector<uint8_t> table = colourFile(IMG_DSP_CC_3D_FILE_BYTES, 1);
  img_dsp_set_mem_ops(&ops);
  img_dsp_set_print_op(print);
  img_dsp_set_ioctl_op(request);
  img_dsp_lib_deinit();
  if (img_dsp_lib_init() != 0) return 0;
  img_dsp_cc_reg_info regInfo{reg.data()};
  img_dsp_cc_3d_info tableInfo{table.data()};
  if (img_dsp_set_color_correction_reg(&regInfo) != 0 || img_dsp_set_color_correction(3, &tableInfo) != 0) abort();

  Input in{data, size};
  const auto input = in.take<img_high_iso_input>();
  img_high_iso_params record;
  if (img_high_iso_run(&input, &record) != 0) abort();
  const auto scaler = in.take<img_high_iso_scaler>();
  img_high_iso_compute_sizes(&scaler, &record);
  imgdsp::g.p.highIsoSharpen = in.take<uint8_t>();
  img_high_iso_prepare_record(&record);
  static img_high_iso_config config;
  img_high_iso_fill_config(&record, &config);
  img_high_iso_dump_input(&input);
  img_high_iso_dump(&record);

  const uint32_t width = in.take<uint32_t>(), height = in.take<uint32_t>(), divisor = in.take<uint32_t>();
  img_dsp_low_iso_set_chroma_scale(width, height, divisor);
  static std::vector<uint8_t> buffer(IMG_DSP_LOW_ISO_BUFFER_BYTES);
  img_dsp_low_iso_address_table addresses;
  img_dsp_low_iso_prepare(&addresses, reinterpret_cast<uintptr_t>(buffer.data()), 0, 0, 0);
  img_dsp_low_iso_record* low = nullptr;
  if (img_dsp_low_iso_start(&low) != 0) abort();
  img_dsp_dump_low_iso(low);
  return 0;
}

// Driver of the numpy reference test: reads one case per line from standard input and prints the
// library's answer for it.
//   conv c0 .. c9 strength kind direction        coefficient list convolved with a smoothing kernel
//   filt strengthA strengthB kind directionA directionB   table kernel convolved with a smoothing kernel
//        (both print the 25 half-kernel taps, unnormalised)
//   inv m0 .. m8                                  3x3 inversion: the result, then the nine elements
#include <iostream>
#include <sstream>
#include <string>

#include "design.h"
#include "iso.h"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string what;
    in >> what;
    img_dsp_half_kernel_q8 out;
    int shift = 0;
    if (what == "conv") {
      img_dsp_coeff_q8_t coeff[10];
      int c, strength, kind, direction;
      for (auto& v : coeff) in >> c, v = static_cast<img_dsp_coeff_q8_t>(c);
      in >> strength >> kind >> direction;
      img_dsp_half_kernel_q8 list;
      img_dsp_expand_coeffs(coeff, &shift, list);
      img_dsp_convolve_with_lowpass(list, strength, 0, kind, direction, &shift, out);
    } else if (what == "filt") {
      int a, b, kind, da, db;
      in >> a >> b >> kind >> da >> db;
      img_dsp_make_filtered_kernel(a, b, 0, kind, da, db, &shift, out);
    } else if (what == "inv") {
      int16_t m[9];
      int32_t r[9] = {};
      int v;
      for (auto& e : m) in >> v, e = static_cast<int16_t>(v);
      std::cout << img_dsp_invert_matrix3(m, r);
      for (int32_t e : r) std::cout << ' ' << e;
      std::cout << '\n';
      continue;
    } else {
      std::cerr << "unknown case: " << line << "\n";
      return 2;
    }
    for (int p = 0; p < 25; p++) std::cout << out[p] << (p < 24 ? ' ' : '\n');
  }
  return 0;
}

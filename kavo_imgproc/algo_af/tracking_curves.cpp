#include "algo_af/tracking_curves.h"

#include <algorithm>

namespace kavo {
namespace isp {

namespace {

const uint8_t kBase0[13] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14, 20};
const uint8_t kBase1[17] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14, 20, 0, 1, 2, 3};
const uint8_t kBase3[6] = {0, 1, 2, 3, 4, 10};
const uint8_t kSubCount0[13] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5};
const uint8_t kSubCount1[17] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5, 0, 0, 0, 0};
const uint8_t kSubCount3[6] = {0, 0, 0, 0, 0, 0};

// The focus of a number some curve's base and sub-curve give (the first curve that gives it).
bool givenFocus(const CurveFamily& f, int32_t number, int32_t z, int32_t* focus) {
  for (int32_t i = 0; i < f.curves; ++i) {
    const int32_t k = number - f.base[i];
    if (k >= 0 && k <= f.subCount[i]) {
      *focus = f.curve(i)[z] + f.subCurve(k)[z];
      return true;
    }
  }
  return false;
}

}  // namespace

int32_t zoomFocusBias(int32_t lensId, int32_t z, int32_t wide, int32_t tele) {
  if (lensId == 3) {
    z = std::min(z, 1179);
    return z <= 1050 ? wide : (wide * (1179 - z) + tele * (z - 1050)) / 129;
  }
  const int32_t k = std::clamp(z, 0, 280);
  return (wide * (280 - k) + tele * k) / 280;
}

const CurveFamily* curveFamily(int32_t lensId) {
  static const CurveFamily f0{13, 609, 607, 25, kBase0, kSubCount0, kLens0TrackingCurves, kLens0SubCurves};
  static const CurveFamily f1{17, 797, 607, 25, kBase1, kSubCount1, kLens1TrackingCurves, kLens1SubCurves};
  static const CurveFamily f3{6, 1180, 1179, 10, kBase3, kSubCount3, kLens3TrackingCurves, kLens3SubCurves};
  return lensId == 0 ? &f0 : lensId == 1 ? &f1 : lensId == 3 ? &f3 : nullptr;
}

bool curveNumberFocus(int32_t lensId, int32_t number, int32_t z, int32_t* focus) {
  const CurveFamily* f = curveFamily(lensId);
  if (f == nullptr || number < 0 || number > f->maxNumber) return false;
  z = std::clamp(z, 0, f->lastStop);
  if (givenFocus(*f, number, z, focus)) return true;
  // Just below the far curve: its sub-curves mirrored (19 is 21, 18 is 22).
  if (lensId != 3 && (number == 18 || number == 19)) return givenFocus(*f, 40 - number, z, focus);
  // A number no curve gives lies on the line between the given numbers around it.
  int32_t lo = number - 1, hi = number + 1, a = 0, b = 0;
  while (!givenFocus(*f, lo, z, &a)) --lo;
  while (!givenFocus(*f, hi, z, &b)) ++hi;
  const int32_t num = (b - a) * (number - lo), den = hi - lo;
  // Rounded half away from zero, as the table script rounds.
  *focus = a + (num >= 0 ? (2 * num + den) / (2 * den) : -((-2 * num + den) / (2 * den)));
  return true;
}

}  // namespace isp
}  // namespace kavo

#include "mcu.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kavo/sim/core/journal.h"

namespace kavo {
namespace sim {
namespace lens {

namespace {

constexpr uint64_t kMs = 1000000ull;
const std::vector<uint8_t> kAck = {0x90, 0x41, 0xFF};
const std::vector<uint8_t> kCompletion = {0x90, 0x51, 0xFF};
const std::vector<uint8_t> kSyntaxError = {0x90, 0x60, 0x02, 0xFF};
const std::vector<uint8_t> kNotExecutable = {0x90, 0x61, 0x41, 0xFF};


bool parseHex(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return false;
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return true;
}

uint32_t word(const uint8_t* b) {
  return ((b[0] & 0xFu) << 12) | ((b[1] & 0xFu) << 8) | ((b[2] & 0xFu) << 4) | (b[3] & 0xFu);
}

std::vector<uint8_t> wordAnswer(uint32_t v) {
  return {0x90, 0x50, uint8_t((v >> 12) & 0xF), uint8_t((v >> 8) & 0xF), uint8_t((v >> 4) & 0xF), uint8_t(v & 0xF), 0xFF};
}

int32_t rounded(double v) { return static_cast<int32_t>(std::lround(v)); }

}  // namespace

std::string hex(const uint8_t* b, size_t n) {
  std::string s;
  char t[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
    s += t;
  }
  return s;
}

bool parseConfig(const std::string& text, McuConfig& out, std::string& error) {
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) return true;
  const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    error = "expected a JSON object";
    return false;
  }
  McuConfig c = out;
  try {
    c.lens = j.value("lens", c.lens);
    c.zoomStepsPerSecond = j.value("zoomStepsPerSecond", c.zoomStepsPerSecond);
    c.focusStepsPerSecond = j.value("focusStepsPerSecond", c.focusStepsPerSecond);
    c.replyDelayMs = j.value("replyDelayMs", c.replyDelayMs);
    c.acks = j.value("acks", c.acks);
    c.readyMs = j.value("readyMs", c.readyMs);
    c.tagAnswers = j.value("tagAnswers", c.tagAnswers);
    c.journal = j.value("journal", c.journal);
    c.zoom = j.value("zoom", c.zoom);
    c.focus = j.value("focus", c.focus);
    c.humidity = j.value("humidity", c.humidity);
    c.lightCountsPerLux = j.value("lightCountsPerLux", c.lightCountsPerLux);
    c.lightIrShare = j.value("lightIrShare", c.lightIrShare);
    c.lightLedLeak = j.value("lightLedLeak", c.lightLedLeak);
    c.zoomOrigin = j.value("zoomOrigin", c.zoomOrigin);
    c.focusOffsetWide = j.value("focusOffsetWide", c.focusOffsetWide);
    c.focusOffsetTele = j.value("focusOffsetTele", c.focusOffsetTele);
    if (j.contains("temperatures")) {
      const auto& t = j.at("temperatures");
      if (!t.is_array() || t.size() != 6) {
        error = "\"temperatures\" must hold six numbers (E1, E2, E3, E5, E7, E8)";
        return false;
      }
      for (size_t i = 0; i < 6; ++i) c.temperatures[i] = t.at(i).get<uint16_t>();
    }
  } catch (const nlohmann::json::exception& e) {
    error = e.what();
    return false;
  }
  if (c.lens != 0 && c.lens != 1 && c.lens != 3) {
    error = "\"lens\" must be 0, 1 or 3";
    return false;
  }
  if (!(c.zoomStepsPerSecond > 0) || !(c.focusStepsPerSecond > 0)) {
    error = "motor speeds must be above 0";
    return false;
  }
  out = c;
  return true;
}

bool parseFault(const nlohmann::json& e, McuFault& f, std::string& error) {
  static const char* const kKinds[] = {"silence", "late", "split", "coalesce", "garbage", "busy",
                                       "noCompletion", "strayCompletion", "value", "notReady", "stuck"};
  if (!e.contains("mcu") || !e.at("mcu").is_string()) {
    error = "a fault needs \"mcu\": one of silence, late, split, coalesce, garbage, busy, noCompletion, "
            "strayCompletion, value, notReady, stuck";
    return false;
  }
  f = McuFault{};
  f.kind = e.at("mcu").get<std::string>();
  if (std::find_if(std::begin(kKinds), std::end(kKinds), [&](const char* k) { return f.kind == k; }) == std::end(kKinds)) {
    error = "unknown fault \"" + f.kind + "\"";
    return false;
  }
  if (e.contains("match") && (!e.at("match").is_string() || !parseHex(e.at("match").get<std::string>(), f.match))) {
    error = "\"match\" must be hex bytes such as \"09 04 47\"";
    return false;
  }
  if (e.contains("bytes") && (!e.at("bytes").is_string() || !parseHex(e.at("bytes").get<std::string>(), f.bytes))) {
    error = "\"bytes\" must be hex bytes such as \"80 12 FF\"";
    return false;
  }
  for (const auto& [key, field] : {std::pair<const char*, uint32_t*>{"nth", &f.nth}, {"times", &f.times},
                                   {"ms", &f.ms}, {"at", &f.at}}) {
    if (!e.contains(key)) continue;
    if (!e.at(key).is_number_unsigned()) {
      error = std::string("\"") + key + "\" must be a number of 0 or more";
      return false;
    }
    *field = e.at(key).get<uint32_t>();
  }
  if (e.contains("value")) {
    if (!e.at("value").is_number_integer()) {
      error = "\"value\" must be a whole number";
      return false;
    }
    f.value = e.at("value").get<int32_t>();
  }
  if (f.nth == 0) f.nth = 1;
  if (f.kind == "split" && f.ms == 0) f.ms = 30;
  return true;
}

bool LensOutputs::operator==(const LensOutputs& o) const {
  return irCutIn == o.irCutIn && irLed == o.irLed && iris == o.iris && zoom == o.zoom && focus == o.focus &&
         focusInfinity == o.focusInfinity && focusPerDioptre == o.focusPerDioptre && depthOfField == o.depthOfField &&
         magnification == o.magnification && moving == o.moving;
}

// The replies of one packet before the faults act on them.
struct Mcu::Replies {
  std::vector<Output> out;
  void add(uint64_t due, std::vector<uint8_t> bytes, bool completion = false) {
    Output o;
    o.due = due;
    o.bytes = std::move(bytes);
    o.completion = completion;
    out.push_back(std::move(o));
  }
};

Mcu::Mcu(const McuConfig& config, uint64_t now) : config_(config), geometry_(geometryOf(config.lens)), start_(now) {
  motion_.zoomSpeed = config.zoomStepsPerSecond;
  motion_.focusSpeed = config.focusStepsPerSecond;
  const double focus = config.focus >= 0 ? config.focus : focusAtInfinity(config.zoom);
  lensReset(motion_, geometry_, now, config.zoom, focus);
}

double Mcu::opticalZoom(double z) const { return z + zoomBias_ - config_.zoomOrigin; }

double Mcu::focusAtInfinity(double z) const {
  const double o = opticalZoom(z);
  const double share = std::clamp(o / geometry_.zoomMax, 0.0, 1.0);
  return focusInfinity(geometry_, o) + config_.focusOffsetWide + (config_.focusOffsetTele - config_.focusOffsetWide) * share;
}

LensOutputs Mcu::outputs() const {
  const double z = motion_.zoom.pos, optical = opticalZoom(z);
  LensOutputs o{};
  o.irCutIn = icrIn_;
  o.irLed = ledLevel_ * 255 / 127;
  o.iris = irisAuto_ ? 1024 * (255 - std::min(irisDriver_, 255u)) / 255 : 1024 * std::min(irisPosition_, 255u) / 255;
  o.zoom = rounded(z);
  o.focus = rounded(motion_.focus.pos);
  o.focusInfinity = rounded(focusAtInfinity(z));
  o.focusPerDioptre = rounded(focusPerDioptre(geometry_, optical));
  o.depthOfField = static_cast<uint32_t>(std::max(1, rounded(depthOfField(geometry_, optical))));
  o.magnification = static_cast<uint32_t>(rounded(magnification(geometry_, optical)));
  o.moving = lensMoving(motion_) ? 1 : 0;
  return o;
}

// The zoom count is reckoned from the bias: the same place of the lens reads `bias` less, and the
// motors' targets move with it.
void Mcu::setZoomBias(uint32_t bias) {
  const double shift = double(zoomBias_) - double(bias);
  zoomBias_ = bias;
  Motor& zoom = motion_.zoom;
  zoom.pos = std::clamp(zoom.pos + shift, 0.0, double(geometry_.zoomMax));
  if (zoom.toTarget) zoom.target = std::clamp(zoom.target + shift, 0.0, double(geometry_.zoomMax));
}

uint16_t Mcu::lightValue(const Surroundings& w) const {
  const double drive = ledLevel_ / 127.0;
  const double v = w.lux * config_.lightCountsPerLux + w.irLux * config_.lightCountsPerLux * config_.lightIrShare +
                   config_.lightLedLeak * drive;
  return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

// A move that reports its end: the report a move still under way would have sent is replaced (a
// move that has already arrived keeps its report).
void Mcu::startMove(uint64_t now, Replies& r) {
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [now](const Output& o) { return o.completion && o.due > now; }),
               queue_.end());
  const uint64_t arrival = lensArrival(motion_);
  r.add(std::max(arrival, now), kCompletion, true);
}

void Mcu::command(const uint8_t* p, size_t n, uint64_t now, Replies& r, JournalLine& line) {
  // p: the packet after the header, without FF; p[0] = 01.
  const uint64_t due = now + config_.replyDelayMs * kMs;
  auto ack = [&]() {
    if (config_.acks) r.add(due, kAck);
  };
  auto syntax = [&]() {
    line.str("error", "syntax");
    r.add(due, kSyntaxError);
  };
  if (n < 3) return syntax();
  const uint8_t cat = p[1], code = p[2];
  if (cat != 0x04) return ack();  // commands of other pages: taken, nothing to do here
  advance(now);
  Motor& zoom = motion_.zoom;
  Motor& focus = motion_.focus;
  auto value = [&](uint32_t& reg) {
    if (n != 7) return syntax();
    reg = word(p + 3);
    ack();
  };
  switch (code) {
    case 0x01:
      if (n != 4 || (p[3] != 0x02 && p[3] != 0x03)) return syntax();
      icrIn_ = p[3] == 0x02;
      return ack();
    case 0x19:
      if (n != 4) return syntax();
      ack();
      zoom = Motor{zoom.pos, 0, 0, 1};
      focus = Motor{focus.pos, focusInfinity(geometry_, 0), 0, 1};
      motion_.onCurve = 0;
      motion_.focusHeld = 1;
      return startMove(now, r);
    case 0x4B:
      return value(irisPosition_);
    case 0xB1:
      value(ledLevel_);
      ledLevel_ = std::min(ledLevel_, 127u);
      return;
    case 0xB2:
      return value(powerLed_);
    case 0xB3:
    case 0xD0:
      return ack();
    case 0xD1:
      return value(heater_);
    case 0xD2:
      return value(irisBalance_);
    case 0xD3:
      return value(irisDriver_);
    case 0xD4:
      if (n != 4 || (p[3] != 0x02 && p[3] != 0x03)) return syntax();
      irisAuto_ = p[3] == 0x02;
      return ack();
    case 0xD5:
      return value(irisBias_);
    case 0xD6: {
      uint32_t bias = zoomBias_;
      value(bias);
      return setZoomBias(bias);
    }
    case 0xDA:
      value(focusBias_[0]);
      motion_.biasWide = static_cast<int8_t>(focusBias_[0] & 0xFF);
      return;
    case 0xDB:
      return value(focusBias_[1]);
    case 0xDC:
      value(focusBias_[2]);
      motion_.biasTele = static_cast<int8_t>(focusBias_[2] & 0xFF);
      return;
    case 0xDD: {
      if (n != 7) return syntax();
      const uint32_t curve = word(p + 3);
      // A number the MCU holds no curve for is refused; the curve in force stays.
      if (curve > static_cast<uint32_t>(geometry_.curveMax)) {
        line.str("error", "curve");
        return r.add(due, kNotExecutable);
      }
      ack();
      motion_.curve = static_cast<int32_t>(curve);
      motion_.onCurve = 1;
      motion_.focusHeld = 0;
      focus = Motor{focus.pos, curveFocus(geometry_, motion_.curve, zoom.pos, motion_.biasWide, motion_.biasTele), 0, 1};
      return startMove(now, r);
    }
    case 0x07:
      if (n != 4) return syntax();
      if (p[3] == 0x00) {
        ack();
        zoom.drive = 0;
        zoom.toTarget = 0;
        return startMove(now, r);
      }
      if (p[3] == 0x02 || (p[3] & 0xF0) == 0x20) zoom = Motor{zoom.pos, 0, 1, 0};
      else if (p[3] == 0x03 || (p[3] & 0xF0) == 0x30) zoom = Motor{zoom.pos, 0, -1, 0};
      else return syntax();
      motion_.focusHeld = 0;
      return ack();
    case 0x08:
      if (n != 4) return syntax();
      if (p[3] == 0x00) {
        ack();
        focus.drive = 0;
        focus.toTarget = 0;
        return startMove(now, r);
      }
      if (p[3] == 0x02 || (p[3] & 0xF0) == 0x20) focus = Motor{focus.pos, 0, -1, 0};  // far
      else if (p[3] == 0x03 || (p[3] & 0xF0) == 0x30) focus = Motor{focus.pos, 0, 1, 0};  // near
      else return syntax();
      return ack();
    case 0x47:
      if (n != 7 && n != 11) return syntax();
      ack();
      zoom = Motor{zoom.pos, double(std::min<uint32_t>(word(p + 3), geometry_.zoomMax)), 0, 1};
      if (n == 11) focus = Motor{focus.pos, double(std::min<uint32_t>(word(p + 7), geometry_.focusMax)), 0, 1};
      else if (motion_.curve >= 0)
        focus = Motor{focus.pos, curveFocus(geometry_, motion_.curve, zoom.target, motion_.biasWide, motion_.biasTele), 0, 1};
      motion_.onCurve = 0;
      motion_.focusHeld = n == 11;
      return startMove(now, r);
    case 0x48:
      if (n != 7) return syntax();
      ack();
      focus = Motor{focus.pos, double(std::min<uint32_t>(word(p + 3), geometry_.focusMax)), 0, 1};
      motion_.onCurve = 0;
      return startMove(now, r);
    default:
      return ack();
  }
}

void Mcu::inquiry(const uint8_t* p, size_t n, uint64_t now, const Surroundings& world, Replies& r, JournalLine& line) {
  const uint64_t due = now + config_.replyDelayMs * kMs;
  if (n != 3) {
    line.str("error", "syntax");
    return r.add(due, kSyntaxError);
  }
  advance(now);
  const uint16_t cat = p[1], code = p[2];
  auto answer = [&](uint32_t v) { r.add(due, wordAnswer(v & 0xFFFF)); };
  // A focus bias arrives as one byte, negative ones in two's complement; it is read back as a signed
  // 16-bit value.
  auto signedBias = [&](uint32_t v) { answer(static_cast<uint16_t>(static_cast<int8_t>(v & 0xFF))); };
  if (cat == 0x04) {
    switch (code) {
      case 0x47:
        return answer(config_.tagAnswers ? 2 * (tagCounter_++ & 0x7FFF) : uint32_t(rounded(motion_.zoom.pos)));
      case 0x48:
        return answer(config_.tagAnswers ? 2 * (tagCounter_++ & 0x7FFF) + 1 : uint32_t(rounded(motion_.focus.pos)));
      case 0xD6:
        return answer(zoomBias_);
      case 0xDA:
        return signedBias(focusBias_[0]);
      case 0xDB:
        return signedBias(focusBias_[1]);
      case 0xDC:
        return signedBias(focusBias_[2]);
      case 0xE0:
        return answer(0);
      case 0xE1:
        return answer(config_.temperatures[0]);
      case 0xE2:
        return answer(config_.temperatures[1]);
      case 0xE3:
        return answer(config_.temperatures[2]);
      case 0xE5:
        return answer(config_.temperatures[3]);
      case 0xE7:
        return answer(config_.temperatures[4]);
      case 0xE8:
        return answer(config_.temperatures[5]);
      case 0xE4:
        return answer(lightValue(world));
      case 0xE6:
        return answer(config_.humidity);
      case 0xE9:
        return answer(outputs().iris);
      case 0xF4:
        return answer(now - start_ >= config_.readyMs * kMs ? 1 : 0);
      default:
        break;
    }
  } else if (cat == 0x06) {
    switch (code) {
      case 0x10:
        return r.add(due, {0x90, 0x50, 0x00, 0x00, 0xFF});
      case 0x11:
        return r.add(due, {0x90, 0x50, 0x18, 0x14, 0xFF});
      case 0x12: {
        const uint32_t pan = static_cast<uint32_t>(world.pan) & 0xFFFF, tilt = static_cast<uint32_t>(world.tilt) & 0xFFFF;
        return r.add(due, {0x90, 0x50, uint8_t(world.pan < 0 ? 1 : 0), uint8_t((pan >> 12) & 0xF), uint8_t((pan >> 8) & 0xF),
                           uint8_t((pan >> 4) & 0xF), uint8_t(pan & 0xF), uint8_t((tilt >> 12) & 0xF),
                           uint8_t((tilt >> 8) & 0xF), uint8_t((tilt >> 4) & 0xF), uint8_t(tilt & 0xF), 0xFF});
      }
      default:
        break;
    }
  } else if (cat == 0x00 && code == 0x02) {
    return r.add(due, {0x90, 0x50, 0x00, 0x20, 0x04, 0x2D, 0x01, 0x00, 0x02, 0xFF});
  }
  line.str("error", "unknown inquiry");
  r.add(due, kSyntaxError);
}

void Mcu::take(const uint8_t* packet, size_t length, uint64_t now, const Surroundings& world, JournalLine& line) {
  line.str("dir", "rx").str("bytes", hex(packet, length).c_str());
  const uint64_t due = now + config_.replyDelayMs * kMs;
  Replies r;
  if (length < 2 || (packet[0] & 0xF0) != 0x80 || packet[length - 1] != 0xFF) {
    // Noise on the line: nothing to answer.
    line.str("error", "not a packet");
    return;
  }
  const uint8_t* body = packet + 1;
  const size_t n = length - 2;
  // The faults that act on this packet (each counts the packets it matches).
  std::vector<const McuFault*> active;
  for (McuFault& f : faults_) {
    if (f.match.size() > n || !std::equal(f.match.begin(), f.match.end(), body)) continue;
    const uint32_t seen = ++f.seen;
    if (seen >= f.nth && (f.times == 0 || seen < f.nth + f.times)) active.push_back(&f);
  }
  auto fault = [&](const char* kind) -> const McuFault* {
    for (const McuFault* f : active)
      if (f->kind == kind) return f;
    return nullptr;
  };
  if (fault("busy")) {
    r.add(due, kSyntaxError);
  } else if (packet[0] == 0x88 && n == 2 && body[0] == 0x30 && body[1] == 0x01) {
    r.add(due, {0x88, 0x30, 0x02, 0xFF});  // one device on the line
  } else if (n == 3 && body[0] == 0x01 && body[1] == 0x00 && body[2] == 0x01) {
    r.add(due, {0x90, 0x50, 0xFF});
  } else if (n >= 1 && body[0] == 0x01) {
    if (fault("stuck")) {
      // The mechanism does not answer its drive: the command is taken and nothing moves.
      if (config_.acks) r.add(due, kAck);
    } else {
      command(body, n, now, r, line);
    }
  } else if (n >= 1 && body[0] == 0x09) {
    inquiry(body, n, now, world, r, line);
    if (const McuFault* f = fault("value"); f != nullptr && !r.out.empty() && r.out[0].bytes.size() == 7)
      r.out[0].bytes = wordAnswer(static_cast<uint32_t>(f->value) & 0xFFFF);
    if (fault("notReady") && n == 3 && body[1] == 0x04 && body[2] == 0xF4 && !r.out.empty()) r.out[0].bytes = wordAnswer(0);
  } else {
    line.str("error", "syntax");
    r.add(due, kSyntaxError);
  }
  // The faults on the replies.
  if (fault("noCompletion"))
    r.out.erase(std::remove_if(r.out.begin(), r.out.end(), [](const Output& o) { return o.completion; }), r.out.end());
  if (fault("strayCompletion")) r.add(r.out.empty() ? due : r.out.back().due, kCompletion);
  if (fault("silence")) r.out.clear();
  if (const McuFault* f = fault("late"))
    for (Output& o : r.out) o.due += f->ms * kMs;
  if (fault("coalesce") && r.out.size() > 1) {
    Output merged = r.out.front();
    for (size_t i = 1; i < r.out.size(); ++i) {
      merged.bytes.insert(merged.bytes.end(), r.out[i].bytes.begin(), r.out[i].bytes.end());
      merged.due = std::max(merged.due, r.out[i].due);
    }
    merged.completion = false;
    r.out.assign(1, merged);
  }
  if (const McuFault* f = fault("garbage")) {
    if (r.out.empty()) r.add(due, {});
    r.out.front().bytes.insert(r.out.front().bytes.begin(), f->bytes.begin(), f->bytes.end());
  }
  if (const McuFault* f = fault("split"))
    for (Output& o : r.out) {
      o.splitAt = f->at;
      o.gapMs = f->ms;
    }
  if (!active.empty()) {
    std::string kinds;
    for (const McuFault* f : active) kinds += (kinds.empty() ? "" : ",") + f->kind;
    line.str("fault", kinds.c_str());
  }
  for (Output& o : r.out) queue_.push_back(std::move(o));
  std::stable_sort(queue_.begin(), queue_.end(), [](const Output& a, const Output& b) { return a.due < b.due; });
}

bool Mcu::nextDue(uint64_t now, Output& out) {
  if (queue_.empty() || queue_.front().due > now) return false;
  out = std::move(queue_.front());
  queue_.erase(queue_.begin());
  return true;
}

void Mcu::requeue(Output out) {
  auto at = std::upper_bound(queue_.begin(), queue_.end(), out.due, [](uint64_t due, const Output& o) { return due < o.due; });
  queue_.insert(at, std::move(out));
}

uint64_t Mcu::earliestDue() const { return queue_.empty() ? 0 : queue_.front().due; }

}  // namespace lens
}  // namespace sim
}  // namespace kavo

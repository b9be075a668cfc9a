#include "frame_faults.h"

namespace kavo {
namespace sim {
namespace iav {

using nlohmann::json;

namespace {

bool parseFrame(const json& f, FrameFault& ff, std::string& error) {
  if (!f.contains("frame") || !f["frame"].is_string()) {
    error = "a fault needs \"request\" or \"frame\"";
    return false;
  }
  const std::string kind = f["frame"].get<std::string>();
  if (kind == "gap") {
    ff.kind = FrameFaultKind::Gap;
    ff.value = 1;
    if (!readFaultNumber(f, "skip", ff.value, error)) return false;
  } else if (kind == "queue") {
    ff.kind = FrameFaultKind::Queue;
    ff.value = 151;
    if (!readFaultNumber(f, "backlog", ff.value, error)) return false;
  } else if (kind == "startcode") {
    ff.kind = FrameFaultKind::StartCode;
  } else if (kind == "stalepts") {
    ff.kind = FrameFaultKind::StalePts;
  } else if (kind == "eagain") {
    ff.kind = FrameFaultKind::Eagain;
  } else if (kind == "stall") {
    ff.kind = FrameFaultKind::Stall;
    ff.value = 100;
    if (!readFaultNumber(f, "ms", ff.value, error)) return false;
  } else {
    error = "unknown frame fault \"" + kind + "\"";
    return false;
  }
  if (!readFaultNumber(f, "after", ff.after, error) || !readFaultNumber(f, "frames", ff.frames, error)) return false;
  auto s = f.find("stream");
  if (s != f.end()) {
    if (!s->is_number_unsigned() || s->get<unsigned>() > 3) {
      error = "\"stream\" must be a stream ordinal 0 to 3";
      return false;
    }
    ff.stream = static_cast<int>(s->get<unsigned>());
  }
  return true;
}

}  // namespace

FaultParseOptions FrameFaults::options() {
  FaultParseOptions o;
  o.reset = [this] { frames_.clear(); };
  o.other = [this](const json& f, std::string& error) {
    FrameFault ff;
    if (!parseFrame(f, ff, error)) return false;
    frames_.push_back(ff);
    return true;
  };
  return o;
}

bool FrameFaults::parse(const std::string& text, std::vector<RequestFault>& requests, std::vector<FrameFault>& frames,
                        std::string& error) {
  FrameFaults f;
  const bool ok = parseFaults(text, requests, f.options(), error);
  frames = ok ? f.frames_ : std::vector<FrameFault>();
  return ok;
}

bool FrameFaults::takeRead(FrameFaultKind kind, uint32_t* value) {
  for (auto& f : frames_) {
    if (f.kind != kind || f.after > 0 || f.frames == 0) continue;
    --f.frames;
    if (value) *value = f.value;
    return true;
  }
  return false;
}

uint32_t FrameFaults::takeStall() {
  uint32_t ms = 0;
  return takeRead(FrameFaultKind::Stall, &ms) ? ms : 0;
}

bool FrameFaults::takeEagain() { return takeRead(FrameFaultKind::Eagain, nullptr); }
bool FrameFaults::takeStalePts() { return takeRead(FrameFaultKind::StalePts, nullptr); }

void FrameFaults::onFrame(int stream, bool h264, FrameEffects& fx) {
  for (auto& f : frames_) {
    const bool frameLevel =
        f.kind == FrameFaultKind::Gap || f.kind == FrameFaultKind::Queue || f.kind == FrameFaultKind::StartCode;
    if (f.stream >= 0 ? f.stream != stream : (frameLevel && !h264)) continue;
    if (f.after > 0) {
      --f.after;
      continue;
    }
    if (!frameLevel || f.frames == 0) continue;
    --f.frames;
    switch (f.kind) {
      case FrameFaultKind::Gap:
        fx.gap += f.value;
        break;
      case FrameFaultKind::Queue:
        fx.queue = true;
        fx.backlog = f.value;
        break;
      case FrameFaultKind::StartCode:
        fx.shortStartCode = true;
        break;
      default:
        break;
    }
  }
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo

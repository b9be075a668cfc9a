#include "faults.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

namespace kavo {
namespace sim {
namespace iav {

using nlohmann::json;

namespace {

struct ErrnoName {
  int err;
  const char* name;
};
constexpr ErrnoName kErrnos[] = {
    {EPERM, "EPERM"},   {ENOENT, "ENOENT"}, {EINTR, "EINTR"},   {EIO, "EIO"},         {ENXIO, "ENXIO"},
    {EAGAIN, "EAGAIN"}, {ENOMEM, "ENOMEM"}, {EACCES, "EACCES"}, {EFAULT, "EFAULT"},   {EBUSY, "EBUSY"},
    {ENODEV, "ENODEV"}, {EINVAL, "EINVAL"}, {ENOTTY, "ENOTTY"}, {ENOSPC, "ENOSPC"},   {ETIMEDOUT, "ETIMEDOUT"},
    {EBADF, "EBADF"},   {ENOSYS, "ENOSYS"}, {EOVERFLOW, "EOVERFLOW"},
};

uint64_t monoNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

bool readU32(const json& j, const char* key, uint32_t& out, std::string& error) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  if (!it->is_number_unsigned()) {
    error = std::string("\"") + key + "\" must be a number of 0 or more";
    return false;
  }
  out = static_cast<uint32_t>(it->get<unsigned long long>());
  return true;
}

}  // namespace

int errnoFromName(const std::string& name) {
  for (const auto& e : kErrnos)
    if (name == e.name) return e.err;
  return 0;
}

const char* errnoName(int err) {
  for (const auto& e : kErrnos)
    if (e.err == err) return e.name;
  return "E?";
}

bool Faults::parse(const std::string& text, std::vector<RequestFault>& requests, std::vector<FrameFault>& frames,
                   std::string& error) {
  requests.clear();
  frames.clear();
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) {
    error = "not valid JSON";
    return false;
  }
  if (!j.is_object() || !j.contains("faults") || !j["faults"].is_array()) {
    error = "expected an object with a \"faults\" array";
    return false;
  }
  for (const auto& f : j["faults"]) {
    if (!f.is_object()) {
      error = "a fault is not an object";
      return false;
    }
    if (f.contains("request")) {
      RequestFault r;
      if (!f["request"].is_string()) {
        error = "\"request\" must be a request name";
        return false;
      }
      r.request = f["request"].get<std::string>();
      if (f.contains("node") && f["node"].is_string()) r.node = f["node"].get<std::string>();
      if (!readU32(f, "nth", r.nth, error) || !readU32(f, "times", r.times, error)) return false;
      if (r.nth == 0) r.nth = 1;
      auto e = f.find("errno");
      if (e != f.end()) {
        if (e->is_number_unsigned())
          r.err = static_cast<int>(e->get<unsigned>());
        else if (e->is_string())
          r.err = errnoFromName(e->get<std::string>());
        else
          r.err = 0;
        if (r.err <= 0) {
          error = "\"errno\" must be a positive number or a name such as \"EIO\"";
          return false;
        }
      }
      requests.push_back(r);
      continue;
    }
    if (!f.contains("frame") || !f["frame"].is_string()) {
      error = "a fault needs \"request\" or \"frame\"";
      return false;
    }
    const std::string kind = f["frame"].get<std::string>();
    FrameFault ff;
    if (kind == "gap") {
      ff.kind = FrameFaultKind::Gap;
      ff.value = 1;
      if (!readU32(f, "skip", ff.value, error)) return false;
    } else if (kind == "queue") {
      ff.kind = FrameFaultKind::Queue;
      ff.value = 151;
      if (!readU32(f, "backlog", ff.value, error)) return false;
    } else if (kind == "startcode") {
      ff.kind = FrameFaultKind::StartCode;
    } else if (kind == "stalepts") {
      ff.kind = FrameFaultKind::StalePts;
    } else if (kind == "eagain") {
      ff.kind = FrameFaultKind::Eagain;
    } else if (kind == "stall") {
      ff.kind = FrameFaultKind::Stall;
      ff.value = 100;
      if (!readU32(f, "ms", ff.value, error)) return false;
    } else {
      error = "unknown frame fault \"" + kind + "\"";
      return false;
    }
    if (!readU32(f, "after", ff.after, error) || !readU32(f, "frames", ff.frames, error)) return false;
    auto s = f.find("stream");
    if (s != f.end()) {
      if (!s->is_number_unsigned() || s->get<unsigned>() > 3) {
        error = "\"stream\" must be a stream ordinal 0 to 3";
        return false;
      }
      ff.stream = static_cast<int>(s->get<unsigned>());
    }
    frames.push_back(ff);
  }
  return true;
}

bool Faults::refresh(const std::string& file, bool force, std::string& error) {
  const uint64_t now = monoNs();
  if (!force && now - lastCheckNs_ < 100000000ull) return false;
  lastCheckNs_ = now;
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    if (known_) {
      known_ = false;
      ino_ = size_ = mtimeNs_ = 0;
      bool had = any();
      clear();
      return had;
    }
    return false;
  }
  const uint64_t mtime = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + st.st_mtim.tv_nsec;
  if (known_ && !force && st.st_ino == ino_ && static_cast<uint64_t>(st.st_size) == size_ && mtime == mtimeNs_)
    return false;
  known_ = true;
  ino_ = st.st_ino;
  size_ = static_cast<uint64_t>(st.st_size);
  mtimeNs_ = mtime;
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  clear();
  if (ss.str().find_first_not_of(" \t\r\n") == std::string::npos) return true;  // an empty file: no faults
  if (!parse(ss.str(), requests_, frames_, error)) {
    clear();
    return true;
  }
  return true;
}

void Faults::clear() {
  requests_.clear();
  frames_.clear();
}

int Faults::onRequest(const char* request, const char* node) {
  for (auto& r : requests_) {
    if (r.request != request) continue;
    if (!r.node.empty() && r.node != node) continue;
    ++r.seen;
    if (r.seen >= r.nth && r.seen - r.nth < r.times) return r.err;
  }
  return 0;
}

bool Faults::takeRead(FrameFaultKind kind, uint32_t* value) {
  for (auto& f : frames_) {
    if (f.kind != kind || f.after > 0 || f.frames == 0) continue;
    --f.frames;
    if (value) *value = f.value;
    return true;
  }
  return false;
}

uint32_t Faults::takeStall() {
  uint32_t ms = 0;
  return takeRead(FrameFaultKind::Stall, &ms) ? ms : 0;
}

bool Faults::takeEagain() { return takeRead(FrameFaultKind::Eagain, nullptr); }
bool Faults::takeStalePts() { return takeRead(FrameFaultKind::StalePts, nullptr); }

void Faults::onFrame(int stream, bool h264, FrameEffects& fx) {
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

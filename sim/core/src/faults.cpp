#include "kavo/sim/core/faults.h"

#include <algorithm>
#include <cerrno>

namespace kavo {
namespace sim {

using nlohmann::json;

namespace {

struct ErrnoName {
  int err;
  const char* name;
};
constexpr ErrnoName kErrnos[] = {
    {EPERM, "EPERM"},         {ENOENT, "ENOENT"},   {EINTR, "EINTR"},     {EIO, "EIO"},
    {ENXIO, "ENXIO"},         {EBADF, "EBADF"},     {EAGAIN, "EAGAIN"},   {ENOMEM, "ENOMEM"},
    {EACCES, "EACCES"},       {EFAULT, "EFAULT"},   {EBUSY, "EBUSY"},     {ENODEV, "ENODEV"},
    {EINVAL, "EINVAL"},       {ENOTTY, "ENOTTY"},   {ENOSPC, "ENOSPC"},   {EPIPE, "EPIPE"},
    {ENOSYS, "ENOSYS"},       {EOVERFLOW, "EOVERFLOW"}, {ESTRPIPE, "ESTRPIPE"}, {ETIMEDOUT, "ETIMEDOUT"},
    {EBADFD, "EBADFD"},       {EREMOTEIO, "EREMOTEIO"}, {EPROTO, "EPROTO"},
};

bool blank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

bool parseRequest(const json& f, const FaultParseOptions& o, RequestFault& r, std::string& error) {
  if (!f["request"].is_string()) {
    error = "\"request\" must be a request name";
    return false;
  }
  r.request = f["request"].get<std::string>();
  if (!o.requests.empty() && std::find(o.requests.begin(), o.requests.end(), r.request) == o.requests.end()) {
    error = "unknown request \"" + r.request + "\"";
    return false;
  }
  if (o.strictKeys) {
    for (auto it = f.begin(); it != f.end(); ++it) {
      static const char* const kKeys[] = {"request", "node", "nth", "times", "errno", "stallMs", "short"};
      if (std::find_if(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return it.key() == k; }) ==
          std::end(kKeys)) {
        error = "\"" + it.key() + "\" is not a key of a request fault";
        return false;
      }
    }
  }
  auto node = f.find("node");
  if (node != f.end()) {
    if (!node->is_string()) {
      error = "\"node\" must be a device path";
      return false;
    }
    r.node = node->get<std::string>();
  }
  uint32_t shortBytes = 0;
  const bool hasShort = f.contains("short");
  if (!readFaultNumber(f, "nth", r.nth, error) || !readFaultNumber(f, "times", r.times, error) ||
      !readFaultNumber(f, "stallMs", r.stallMs, error) || !readFaultNumber(f, "short", shortBytes, error))
    return false;
  if (r.nth == 0) r.nth = 1;
  if (hasShort) r.shortBytes = static_cast<int32_t>(std::min<uint32_t>(shortBytes, 0x7fffffff));
  auto e = f.find("errno");
  if (e != f.end()) {
    if (!parseErrno(*e, r.err)) {
      error = "\"errno\" must be a positive number or a name such as \"EIO\"";
      return false;
    }
  } else if (r.stallMs == 0 && !hasShort) {
    r.err = EIO;  // a fault that names no effect fails the call
  }
  return true;
}

}  // namespace

bool readFaultNumber(const json& j, const char* key, uint32_t& out, std::string& error) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  if (!it->is_number_unsigned() || it->get<unsigned long long>() > 0xffffffffull) {
    error = std::string("\"") + key + "\" must be a number of 0 or more";
    return false;
  }
  out = static_cast<uint32_t>(it->get<unsigned long long>());
  return true;
}

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

bool parseErrno(const json& v, int& err) {
  if (v.is_number_integer()) {
    const long long e = v.get<long long>();
    if (e <= 0 || e > 4095) return false;
    err = static_cast<int>(e);
    return true;
  }
  if (!v.is_string()) return false;
  const int e = errnoFromName(v.get<std::string>());
  if (e == 0) return false;
  err = e;
  return true;
}

bool parseFaults(const std::string& text, std::vector<RequestFault>& requests, const FaultParseOptions& o,
                 std::string& error) {
  requests.clear();
  if (blank(text)) return true;
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
      if (!parseRequest(f, o, r, error)) {
        requests.clear();
        return false;
      }
      requests.push_back(r);
      continue;
    }
    if (!o.other) {
      error = "a fault needs \"request\"" + o.otherKinds;
      requests.clear();
      return false;
    }
    if (!o.other(f, error)) {
      requests.clear();
      return false;
    }
  }
  return true;
}

void RequestFaults::set(std::vector<RequestFault> faults, SharedFaultCounters* shared, const FileIdentity& file) {
  faults_ = std::move(faults);
  seen_.assign(faults_.size(), 0);
  shared_ = faults_.size() <= static_cast<size_t>(kMaxSharedFaults) ? shared : nullptr;
  restarted_ = shared_ == nullptr;
  if (shared_ == nullptr) return;
  // The first process to take this file starts the counting for all.
  if (shared_->ino.load() != file.ino || shared_->size.load() != file.size || shared_->mtimeNs.load() != file.mtimeNs) {
    shared_->ino.store(file.ino);
    shared_->size.store(file.size);
    shared_->mtimeNs.store(file.mtimeNs);
    for (auto& c : shared_->calls) c.store(0);
    restarted_ = true;
  }
}

void RequestFaults::clear() {
  faults_.clear();
  seen_.clear();
}

FaultAction RequestFaults::onRequest(const char* request, const char* node) {
  FaultAction a;
  for (size_t i = 0; i < faults_.size(); ++i) {
    const RequestFault& r = faults_[i];
    if (r.request != request) continue;
    if (!r.node.empty() && (node == nullptr || r.node != node)) continue;
    const uint32_t n = shared_ != nullptr ? shared_->calls[i].fetch_add(1) + 1 : ++seen_[i];
    if (n < r.nth || n - r.nth >= r.times) continue;
    if (a.err == 0) a.err = r.err;
    a.stallMs = std::max(a.stallMs, r.stallMs);
    if (r.shortBytes >= 0 && (a.shortBytes < 0 || r.shortBytes < a.shortBytes)) a.shortBytes = r.shortBytes;
  }
  return a;
}

bool FaultsFile::refresh(uint64_t nowNs, uint32_t generation, bool force, const FaultParseOptions& options,
                         SharedFaultCounters* shared, std::string& error) {
  if (!file_.poll(nowNs, generation, force)) return false;
  const FileIdentity& id = file_.identity();
  const std::string text = id.exists ? readFile(file_.path()) : std::string();
  std::vector<RequestFault> parsed;
  if (options.reset) options.reset();
  if (!parseFaults(text, parsed, options, error)) {
    if (options.reset) options.reset();
    parsed.clear();
  }
  requests_.set(std::move(parsed), shared, id);
  return true;
}

}  // namespace sim
}  // namespace kavo

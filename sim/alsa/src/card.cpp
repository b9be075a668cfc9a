#include "card.h"

#include <cmath>

using nlohmann::json;

namespace kavo {
namespace sim {
namespace alsa {

namespace {

// Typed look-ups that never throw: a value of the wrong kind or out of range is an error.
class Reader {
 public:
  explicit Reader(std::string& error) : error_(error) {}

  bool number(const json& o, const char* key, double lo, double hi, double& out) {
    auto it = o.find(key);
    if (it == o.end()) return true;
    if (!it->is_number()) return fail(key, "is not a number");
    const double v = it->get<double>();
    if (!(v >= lo && v <= hi)) return fail(key, "is out of range");
    out = v;
    return true;
  }
  template <typename T>
  bool integer(const json& o, const char* key, long long lo, long long hi, T& out) {
    auto it = o.find(key);
    if (it == o.end()) return true;
    if (!it->is_number_integer()) return fail(key, "is not a whole number");
    const long long v = it->get<long long>();
    if (v < lo || v > hi) return fail(key, "is out of range");
    out = static_cast<T>(v);
    return true;
  }
  bool boolean(const json& o, const char* key, bool& out) {
    auto it = o.find(key);
    if (it == o.end()) return true;
    if (!it->is_boolean()) return fail(key, "is not true or false");
    out = it->get<bool>();
    return true;
  }
  bool list(const json& o, const char* key, unsigned lo, unsigned hi, std::vector<unsigned>& out) {
    auto it = o.find(key);
    if (it == o.end()) return true;
    if (!it->is_array() || it->empty() || it->size() > 32) return fail(key, "is not a list of 1 to 32 numbers");
    std::vector<unsigned> v;
    for (const auto& e : *it) {
      if (!e.is_number_integer() || e.get<long long>() < lo || e.get<long long>() > hi)
        return fail(key, "holds a value out of range");
      v.push_back(static_cast<unsigned>(e.get<long long>()));
    }
    out = v;
    return true;
  }
  bool object(const json& o, const char* key, const json** out) {
    *out = nullptr;
    auto it = o.find(key);
    if (it == o.end()) return true;
    if (!it->is_object()) return fail(key, "is not an object");
    *out = &*it;
    return true;
  }
  bool known(const json& o, std::initializer_list<const char*> keys, const char* where) {
    for (auto it = o.begin(); it != o.end(); ++it) {
      bool found = false;
      for (const char* k : keys) found = found || it.key() == k;
      if (!found) return fail(it.key().c_str(), (std::string("is not a key of ") + where).c_str());
    }
    return true;
  }
  bool fail(const char* key, const char* what) {
    error_ = std::string("\"") + key + "\" " + what;
    return false;
  }

 private:
  std::string& error_;
};

const std::vector<std::string> kRequests = {
    "snd_pcm_open", "snd_pcm_hw_params", "snd_pcm_sw_params", "snd_pcm_prepare", "snd_pcm_start",
    "snd_ctl_open", "snd_ctl_elem_info", "snd_ctl_elem_read", "snd_ctl_elem_write"};

bool parseInto(const json& doc, Config& c, std::string& error) {
  Reader r(error);
  if (!doc.is_object()) return r.fail("configuration", "is not a JSON object");
  if (!r.known(doc, {"rates", "channels", "periodBytes", "periods", "periodPointer", "driftPpm", "tone", "marks",
                     "volume", "journal"},
               "the configuration"))
    return false;
  double ppm = 0;
  if (!r.list(doc, "rates", 1000, 384000, c.rates) || !r.list(doc, "channels", 1, 8, c.channels) ||
      !r.integer(doc, "periodBytes", 64, 1 << 20, c.periodBytes) || !r.integer(doc, "periods", 2, 1024, c.periods) ||
      !r.boolean(doc, "periodPointer", c.periodPointer) || !r.number(doc, "driftPpm", -10000, 10000, ppm) ||
      !r.boolean(doc, "journal", c.journal))
    return false;
  c.driftPpb = std::llround(ppm * 1000.0);
  if (static_cast<uint64_t>(c.periodBytes) * c.periods > (64u << 20))
    return r.fail("periodBytes", "times \"periods\" exceeds 64 MiB");

  const json* o = nullptr;
  if (!r.object(doc, "tone", &o)) return false;
  if (o != nullptr) {
    if (!r.known(*o, {"frequency", "level"}, "\"tone\"")) return false;
    auto f = o->find("frequency");
    if (f != o->end()) {
      std::vector<double> v;
      if (f->is_number()) {
        v.push_back(f->get<double>());
      } else if (f->is_array() && !f->empty() && f->size() <= 8) {
        for (const auto& e : *f) v.push_back(e.is_number() ? e.get<double>() : -1.0);
      } else {
        return r.fail("frequency", "is not a number or a list of 1 to 8 numbers");
      }
      for (double x : v)
        if (!(x >= 0 && x <= 192000)) return r.fail("frequency", "is out of range");
      c.toneFrequency = v;
    }
    if (!r.number(*o, "level", -200, 0, c.toneLevelDb)) return false;
  }

  if (!r.object(doc, "marks", &o)) return false;
  if (o != nullptr) {
    if (!r.known(*o, {"enabled", "origin", "everyFrames", "periodMs", "durationMs", "frequency", "level"},
                 "\"marks\""))
      return false;
    auto origin = o->find("origin");
    if (origin != o->end()) {
      if (!origin->is_string() || (*origin != "video" && *origin != "clock"))
        return r.fail("origin", "is neither \"video\" nor \"clock\"");
      c.marksFollowVideo = *origin == "video";
    }
    if (!r.boolean(*o, "enabled", c.marks) || !r.integer(*o, "everyFrames", 1, 100000, c.markEveryFrames) ||
        !r.number(*o, "periodMs", 1, 3600000, c.markPeriodMs) || !r.number(*o, "durationMs", 0.1, 10000, c.markDurationMs) ||
        !r.number(*o, "frequency", 0, 192000, c.markFrequency) || !r.number(*o, "level", -200, 0, c.markLevelDb))
      return false;
  }

  if (!r.object(doc, "volume", &o)) return false;
  if (o != nullptr) {
    if (!r.known(*o, {"present", "min", "max", "initial"}, "\"volume\"")) return false;
    bool hasInitial = o->find("initial") != o->end();
    const long long lim = 1ll << 31;
    if (!r.boolean(*o, "present", c.volumePresent) || !r.integer(*o, "min", -lim, lim - 1, c.volumeMin) ||
        !r.integer(*o, "max", -lim, lim - 1, c.volumeMax) || !r.integer(*o, "initial", -lim, lim - 1, c.volumeInitial))
      return false;
    if (c.volumeMin >= c.volumeMax) return r.fail("min", "is not below \"max\"");
    if (!hasInitial) c.volumeInitial = c.volumeMax;
    if (c.volumeInitial < c.volumeMin || c.volumeInitial > c.volumeMax)
      return r.fail("initial", "lies outside min..max");
  }
  return true;
}

}  // namespace

bool parseConfig(const std::string& text, Config& cfg, std::string& error) {
  cfg = Config();
  bool blank = true;
  for (char ch : text) blank = blank && (ch == ' ' || ch == '\n' || ch == '\t' || ch == '\r');
  if (blank) return true;
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    error = "not valid JSON";
    return false;
  }
  Config c;
  if (!parseInto(doc, c, error)) return false;
  cfg = c;
  return true;
}

SharedState* mapState(const std::string& root, const Config& cfg, std::string& error) {
  void* m = mapSharedState(root + kStateFile, sizeof(SharedState), kStateMagic, kStateVersion,
                           [&cfg](void* record) {
                             static_cast<SharedState*>(record)->volume.store(cfg.volumeInitial);
                             return true;
                           },
                           error);
  return static_cast<SharedState*>(m);
}

void unmapState(SharedState* st) { unmapSharedState(st, sizeof(SharedState)); }

FaultParseOptions Faults::options() {
  FaultParseOptions o;
  o.requests = kRequests;
  o.strictKeys = true;
  o.reset = [this] {
    xrunAfter_ = 0;
    xrunTimes_ = 0;
  };
  o.other = [this](const json& f, std::string& error) {
    std::string err2;
    Reader r(err2);
    auto xr = f.find("xrun");
    if (xr == f.end()) {
      error = "a fault names neither \"request\" nor \"xrun\"";
      return false;
    }
    uint32_t times = 1;
    if (!r.known(f, {"xrun", "times"}, "an overrun fault") || !xr->is_number_integer() || xr->get<long long>() < 0 ||
        !r.integer(f, "times", 1, 1000000, times)) {
      error = err2.empty() ? "\"xrun\" is not a frame count" : err2;
      return false;
    }
    xrunAfter_ = static_cast<uint64_t>(xr->get<long long>());
    xrunTimes_ = times;
    return true;
  };
  return o;
}

bool Faults::parse(const std::string& text, std::vector<RequestFault>& requests, uint64_t& xrunAfter,
                   uint32_t& xrunTimes, std::string& error) {
  Faults f;
  const bool ok = parseFaults(text, requests, f.options(), error);
  xrunAfter = ok ? f.xrunAfter_ : 0;
  xrunTimes = ok ? f.xrunTimes_ : 0;
  return ok;
}

bool Faults::refresh(const std::string& root, SharedState* st, bool force, std::string& error) {
  st_ = st;
  if (file_.path().empty()) {
    file_.setPath(root + kFaultsFile);
    options_ = options();
  }
  const uint32_t gen = st != nullptr ? st->faultsGen.load() : 0;
  if (!file_.refresh(monoNs(), gen, force, options_, st != nullptr ? &st->faultCalls : nullptr, error)) return false;
  // The first process to see this file starts the count of positional overruns too.
  if (st != nullptr && file_.requests().countingRestarted()) st->xrunUsed.store(0);
  localXrunUsed_ = 0;
  return true;
}

int Faults::onRequest(const char* request) { return -file_.requests().onRequest(request, nullptr).err; }

bool Faults::xrunArmed() const {
  return (st_ != nullptr ? st_->xrunUsed.load() : localXrunUsed_) < xrunTimes_;
}

void Faults::takeXrun() {
  if (st_ != nullptr)
    st_->xrunUsed.fetch_add(1);
  else
    ++localXrunUsed_;
}

}  // namespace alsa
}  // namespace sim
}  // namespace kavo

#include "core.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char* const kRequests[kFaultRequests] = {
    "snd_pcm_open", "snd_pcm_hw_params", "snd_pcm_sw_params", "snd_pcm_prepare", "snd_pcm_start",
    "snd_ctl_open", "snd_ctl_elem_info", "snd_ctl_elem_read", "snd_ctl_elem_write"};

int requestIndex(const char* name) {
  for (int i = 0; i < kFaultRequests; ++i)
    if (std::strcmp(kRequests[i], name) == 0) return i;
  return -1;
}

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

uint64_t monoNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::string readFile(const std::string& file, bool* exists) {
  std::string out;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (exists != nullptr) *exists = fd >= 0;
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || out.size() > (1u << 20)) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

bool makeDirs(const std::string& dir) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    cur = dir.substr(0, pos);
    if (cur.empty()) continue;
    if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool writeFileAtomic(const std::string& file, const std::string& text) {
  const size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeDirs(file.substr(0, slash))) return false;
  const std::string tmp = file + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == text.size() && ::close(fd) == 0;
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

SharedState* mapState(const std::string& root, const Config& cfg, std::string& error) {
  if (!makeDirs(root + kRunDir)) {
    error = std::string("cannot create ") + root + kRunDir + ": " + std::strerror(errno);
    return nullptr;
  }
  const std::string file = root + kStateFile;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open " + file + ": " + std::strerror(errno);
    return nullptr;
  }
  // The first process sets the record up; the lock keeps a second one from reading it half made.
  ::flock(fd, LOCK_EX);
  struct stat sb{};
  if (::fstat(fd, &sb) != 0 || (static_cast<size_t>(sb.st_size) < sizeof(SharedState) &&
                                ::ftruncate(fd, sizeof(SharedState)) != 0)) {
    error = "cannot size " + file + ": " + std::strerror(errno);
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return nullptr;
  }
  void* m = ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED) {
    error = "cannot map " + file + ": " + std::strerror(errno);
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return nullptr;
  }
  auto* st = static_cast<SharedState*>(m);
  if (st->magic.load() != kStateMagic || st->version != kStateVersion) {
    std::memset(static_cast<void*>(st), 0, sizeof(SharedState));
    st->version = kStateVersion;
    st->volume.store(cfg.volumeInitial);
    st->magic.store(kStateMagic);
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
  return st;
}

void unmapState(SharedState* st) {
  if (st != nullptr) ::munmap(static_cast<void*>(st), sizeof(SharedState));
}

Journal::~Journal() { close(); }

void Journal::open(const std::string& root, SharedState* st, bool enabled) {
  close();
  st_ = st;
  if (!enabled) return;
  makeDirs(root + kRunDir);
  fd_ = ::open((root + kJournalFile).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void Journal::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Journal::write(const char* dev, json line) {
  if (fd_ < 0) return;
  // seq, t, pid and dev first: the rest follows in key order.
  const uint64_t seq = st_ != nullptr ? st_->journalSeq.fetch_add(1) + 1 : 0;
  char head[128];
  std::snprintf(head, sizeof head, "{\"seq\":%llu,\"t\":%llu,\"pid\":%d,\"dev\":\"%s\"",
                static_cast<unsigned long long>(seq), static_cast<unsigned long long>(monoNs()),
                static_cast<int>(::getpid()), dev);
  std::string text = head;
  std::string rest = line.dump(-1, ' ', false, json::error_handler_t::replace);
  if (rest.size() > 2) {
    text += ',';
    text.append(rest, 1, std::string::npos);
  } else {
    text += '}';
  }
  text += '\n';
  ssize_t n;
  do {
    n = ::write(fd_, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
}

bool parseErrno(const json& v, int& err) {
  if (v.is_number_integer()) {
    const long long e = v.get<long long>();
    if (e <= 0 || e > 4095) return false;
    err = static_cast<int>(e);
    return true;
  }
  if (!v.is_string()) return false;
  static const struct { const char* name; int value; } names[] = {
      {"EPERM", EPERM}, {"ENOENT", ENOENT}, {"EINTR", EINTR}, {"EIO", EIO}, {"ENXIO", ENXIO},
      {"EBADF", EBADF}, {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM}, {"EACCES", EACCES}, {"EFAULT", EFAULT},
      {"EBUSY", EBUSY}, {"ENODEV", ENODEV}, {"EINVAL", EINVAL}, {"ENOSPC", ENOSPC}, {"EPIPE", EPIPE},
      {"ENOSYS", ENOSYS}, {"ESTRPIPE", ESTRPIPE}, {"ETIMEDOUT", ETIMEDOUT}, {"EBADFD", EBADFD},
  };
  const std::string s = v.get<std::string>();
  for (const auto& n : names)
    if (s == n.name) {
      err = n.value;
      return true;
    }
  return false;
}

bool Faults::parse(const std::string& text, std::vector<RequestFault>& requests, uint64_t& xrunAfter,
                   uint32_t& xrunTimes, std::string& error) {
  requests.clear();
  xrunAfter = 0;
  xrunTimes = 0;
  bool blank = true;
  for (char ch : text) blank = blank && (ch == ' ' || ch == '\n' || ch == '\t' || ch == '\r');
  if (blank) return true;
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = "not a JSON object";
    return false;
  }
  auto list = doc.find("faults");
  if (list == doc.end() || !list->is_array()) {
    error = "\"faults\" is not a list";
    return false;
  }
  for (const auto& f : *list) {
    if (!f.is_object()) {
      error = "a fault is not an object";
      return false;
    }
    std::string err2;
    Reader r(err2);
    auto req = f.find("request");
    auto xr = f.find("xrun");
    if (req != f.end() && req->is_string()) {
      RequestFault rf;
      rf.request = req->get<std::string>();
      rf.index = requestIndex(rf.request.c_str());
      if (rf.index < 0) {
        error = "unknown request \"" + rf.request + "\"";
        return false;
      }
      if (!r.known(f, {"request", "nth", "times", "errno"}, "a request fault") ||
          !r.integer(f, "nth", 1, 1000000, rf.nth) || !r.integer(f, "times", 1, 1000000, rf.times)) {
        error = err2;
        return false;
      }
      auto e = f.find("errno");
      if (e != f.end() && !parseErrno(*e, rf.err)) {
        error = "\"errno\" is not an errno number or name";
        return false;
      }
      requests.push_back(rf);
    } else if (xr != f.end()) {
      if (!r.known(f, {"xrun", "times"}, "an overrun fault") || !xr->is_number_integer() ||
          xr->get<long long>() < 0 || !r.integer(f, "times", 1, 1000000, xrunTimes)) {
        error = err2.empty() ? "\"xrun\" is not a frame count" : err2;
        return false;
      }
      xrunAfter = static_cast<uint64_t>(xr->get<long long>());
      if (f.find("times") == f.end()) xrunTimes = 1;
    } else {
      error = "a fault names neither \"request\" nor \"xrun\"";
      return false;
    }
  }
  return true;
}

bool Faults::refresh(const std::string& root, SharedState* st, bool force, std::string& error) {
  st_ = st;
  const std::string file = root + kFaultsFile;
  const uint32_t gen = st != nullptr ? st->faultsGen.load() : 0;
  const uint64_t now = monoNs();
  if (!force && gen == gen_ && now - lastLook_ < 100000000ull) return false;
  lastLook_ = now;
  struct stat sb{};
  const bool exists = ::stat(file.c_str(), &sb) == 0;
  const int64_t mtime = exists ? static_cast<int64_t>(sb.st_mtim.tv_sec) * 1000000000ll + sb.st_mtim.tv_nsec : -1;
  const uint64_t ino = exists ? sb.st_ino : 0;
  const uint64_t size = exists ? static_cast<uint64_t>(sb.st_size) : 0;
  if (!force && gen == gen_ && ino == ino_ && size == size_ && mtime == mtimeNs_) return false;
  gen_ = gen;
  ino_ = ino;
  size_ = size;
  mtimeNs_ = mtime;
  const std::string text = exists ? readFile(file, nullptr) : std::string();
  if (!parse(text, requests_, xrunAfter_, xrunTimes_, error)) {
    requests_.clear();
    xrunAfter_ = 0;
    xrunTimes_ = 0;
  }
  // The first to see this file starts the counting.
  if (st != nullptr && (st->faultsIno.load() != ino || st->faultsSize.load() != size || st->faultsMtime.load() != mtime)) {
    st->faultsIno.store(ino);
    st->faultsSize.store(size);
    st->faultsMtime.store(mtime);
    for (auto& c : st->calls) c.store(0);
    st->xrunUsed.store(0);
  }
  for (auto& c : localCalls_) c = 0;
  localXrunUsed_ = 0;
  return true;
}

int Faults::onRequest(const char* request) {
  const int i = requestIndex(request);
  if (i < 0) return 0;
  const uint32_t n = st_ != nullptr ? st_->calls[i].fetch_add(1) + 1 : ++localCalls_[i];
  for (const auto& f : requests_)
    if (f.index == i && n >= f.nth && n - f.nth < f.times) return -f.err;
  return 0;
}

bool Faults::xrunArmed() const {
  return (st_ != nullptr ? st_->xrunUsed.load() : localXrunUsed_) < xrunTimes_;
}

void Faults::takeXrun() {
  if (st_ != nullptr) st_->xrunUsed.fetch_add(1);
  else ++localXrunUsed_;
}

}  // namespace alsa
}  // namespace sim
}  // namespace kavo

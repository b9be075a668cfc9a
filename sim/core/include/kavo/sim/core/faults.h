#pragma once
// Fault injection of the simulated devices: the faults file of a device (JSON, re-read while the
// device runs), its request faults ("the nth matching call, and times - 1 after it, fail with errno,
// stall, or transfer fewer bytes") and the parser that devices extend with their own kinds of fault.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kavo/sim/core/files.h"

namespace kavo {
namespace sim {

// errno <-> name ("EIO"); errnoName gives "E?" for a number it does not know.
int errnoFromName(const std::string& name);
const char* errnoName(int err);
// An errno given as a positive number or a name.
bool parseErrno(const nlohmann::json& value, int& err);
// The unsigned 32-bit value of `key` when the entry has it (`out` untouched otherwise); false with
// "\"key\" must be a number of 0 or more" for any other value.
bool readFaultNumber(const nlohmann::json& entry, const char* key, uint32_t& out, std::string& error);

struct RequestFault {
  std::string request;  // request name ("IAV_IOC_START_ENCODE_EX", "open", "read", ...)
  std::string node;     // device node; empty: any
  uint32_t nth = 1;     // the first call that misbehaves, counted from 1
  uint32_t times = 1;   // consecutive calls that misbehave
  int err = 0;          // errno to fail with; 0: the call goes on (after a stall, or short)
  uint32_t stallMs = 0;     // the call is held this long first
  int32_t shortBytes = -1;  // a transfer (read, write) moves at most this many bytes
};

// What the faults do to one call.
struct FaultAction {
  int err = 0;
  uint32_t stallMs = 0;
  int32_t shortBytes = -1;
  bool any() const { return err != 0 || stallMs != 0 || shortBytes >= 0; }
};

struct FaultParseOptions {
  // Request names a fault may name; empty: any name.
  std::vector<std::string> requests;
  // Refuse keys a request fault does not know.
  bool strictKeys = false;
  // Entries without "request": the device's own kinds. Returns false with `error` for an entry it
  // does not take. Unset: such an entry is an error ("a fault needs \"request\"").
  std::function<bool(const nlohmann::json& entry, std::string& error)> other;
  // What the error names when no `other` is set: "a fault needs \"request\"" plus this.
  std::string otherKinds;
  // Called before a new text is parsed and again when it proved malformed: the device forgets the
  // kinds that `other` took from the previous (or the refused) text.
  std::function<void()> reset;
};

// Parses {"faults": [...]}; a blank text is no faults. False with `error` (and nothing parsed)
// for a malformed text.
bool parseFaults(const std::string& text, std::vector<RequestFault>& requests, const FaultParseOptions& options,
                 std::string& error);

// Counters of request faults that every process of a run shares (in the device's shared state):
// calls are then counted over all processes from the moment a new faults file is first taken by
// any of them.
constexpr int kMaxSharedFaults = 32;
struct SharedFaultCounters {
  std::atomic<uint64_t> ino;
  std::atomic<uint64_t> size;
  std::atomic<int64_t> mtimeNs;
  std::atomic<uint32_t> calls[kMaxSharedFaults];
};

class RequestFaults {
 public:
  // Takes a new set; the counting starts again. With `shared` (and the file's identity) the
  // counters are those of every process; the first process to take a file it has not seen resets
  // them.
  void set(std::vector<RequestFault> faults, SharedFaultCounters* shared = nullptr, const FileIdentity& file = {});
  void clear();
  bool empty() const { return faults_.empty(); }
  // True when the last set() started the counting afresh: always for counters of this process,
  // and for shared counters when this process was the first to take the file.
  bool countingRestarted() const { return restarted_; }
  // Counts the call against every fault that matches it and returns what they do to it.
  FaultAction onRequest(const char* request, const char* node);

 private:
  std::vector<RequestFault> faults_;
  std::vector<uint32_t> seen_;
  SharedFaultCounters* shared_ = nullptr;
  bool restarted_ = false;
};

// A device's faults file: watched, parsed when it changes, its request faults counted. Devices
// with kinds of their own parse those through options.other (after options.reset).
class FaultsFile {
 public:
  void setPath(const std::string& file) { file_.setPath(file); }
  const std::string& path() const { return file_.path(); }
  // Looks for a new file (see WatchedFile::poll). True when a new file was taken; `error` is set
  // when it was malformed (no faults then).
  bool refresh(uint64_t nowNs, uint32_t generation, bool force, const FaultParseOptions& options,
               SharedFaultCounters* shared, std::string& error);
  RequestFaults& requests() { return requests_; }
  void clear() {
    requests_.clear();
    file_.reset();
  }

 private:
  WatchedFile file_;
  RequestFaults requests_;
};

}  // namespace sim
}  // namespace kavo

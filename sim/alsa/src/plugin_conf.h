#pragma once
// The plugins' block in the ALSA configuration: `type kavo` and `root "<test root>"`.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "card.h"

namespace kavo {
namespace sim {
namespace alsa {

inline int parseAlsaBlock(snd_config_t* conf, std::string& root) {
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(n, &id) < 0 || id == nullptr) continue;
    if (std::strcmp(id, "comment") == 0 || std::strcmp(id, "type") == 0 || std::strcmp(id, "hint") == 0) continue;
    if (std::strcmp(id, "root") == 0) {
      const char* s = nullptr;
      if (snd_config_get_string(n, &s) < 0 || s == nullptr) {
        SNDERR("kavo: \"root\" is not a string");
        return -EINVAL;
      }
      root = s;
      continue;
    }
    SNDERR("kavo: unknown field %s", id);
    return -EINVAL;
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return 0;
}

// The configuration of the simulated card; a malformed one is reported and the defaults are used.
inline Config loadConfig(const std::string& root, std::string& error) {
  Config cfg;
  bool exists = false;
  const std::string text = readFile(root + kConfigFile, &exists);
  if (exists && !parseConfig(text, cfg, error)) SNDERR("kavo: %s%s ignored: %s", root.c_str(), kConfigFile, error.c_str());
  return cfg;
}

// What the capture and the control plugin share: their test root, the card's configuration, the
// state shared by processes, the journal and the faults.
struct PluginDevice {
  explicit PluginDevice(const char* kind) : kind(kind) {}
  PluginDevice(const PluginDevice&) = delete;
  PluginDevice& operator=(const PluginDevice&) = delete;
  ~PluginDevice() { unmapState(st); }

  // Reads the plugin's block and attaches to the card; negative errno when it cannot be used.
  int attach(snd_config_t* conf) {
    int rc = parseAlsaBlock(conf, root);
    if (rc < 0) return rc;
    std::string cfgError, stError, faultsError;
    cfg = loadConfig(root, cfgError);
    st = mapState(root, cfg, stError);
    if (cfg.journal && makeDirs(root + kRunDir)) journal.open(root + kJournalFile, st != nullptr ? &st->journalSeq : nullptr);
    if (!cfgError.empty()) journalError("config", cfgError);
    faults.refresh(root, st, true, faultsError);
    if (!faultsError.empty()) journalError("faults", faultsError);
    if (st == nullptr) {
      SNDERR("kavo: %s", stError.c_str());
      return -EIO;
    }
    return 0;
  }

  // Negative errno that the faults file injects into `request`, or 0.
  int fault(const char* request) {
    std::string err;
    if (faults.refresh(root, st, false, err) && !err.empty()) journalError("faults", err);
    return faults.onRequest(request);
  }

  // Starts a journal line of this plugin: seq, t, pid, dev, req; the caller adds its fields and
  // writes it with write().
  void begin(JournalLine& line, const char* req) {
    journalHead(journal, line, kind);
    line.str("req", req);
  }
  void write(JournalLine& line) { journal.write(line, false); }
  void journalError(const char* req, const std::string& error) {
    JournalLine line;
    begin(line, req);
    line.str("error", error.c_str());
    write(line);
  }

  const char* kind;  // "pcm" or "ctl" in the journal
  std::string root;
  Config cfg;
  SharedState* st = nullptr;
  Journal journal;
  Faults faults;
};

}  // namespace alsa
}  // namespace sim
}  // namespace kavo

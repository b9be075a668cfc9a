#include "kavo/sim/alsa_sim.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdlib>

#include "card.h"
#include "kavo/logger/logger.h"
#include "kavo/os/path.h"

namespace kavo {
namespace sim {
namespace alsa {

namespace {
constexpr const char* kModule = "kavo_sim_alsa";
#define ALSA_SIM_LOG(level, err, ...) logInternal(kModule, __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

SharedState* state(std::string& error) {
  Config cfg;
  bool exists = false;
  const std::string text = readFile(kavo::os::path(kConfigFile), &exists);
  std::string ignored;
  if (exists) parseConfig(text, cfg, ignored);
  return mapState(kavo::os::root(), cfg, error);
}
}  // namespace

std::string configFile() { return kavo::os::path(kConfigFile); }
std::string asoundConfFile() { return kavo::os::path(kAsoundConf); }
std::string journalFile() { return kavo::os::path(kJournalFile); }
std::string faultsFile() { return kavo::os::path(kFaultsFile); }
std::string stateFile() { return kavo::os::path(kStateFile); }

std::string defaultPluginDir() { return KAVO_SIM_ALSA_PLUGIN_DIR; }

std::string asoundConfText(const std::string& root, const std::string& pluginDir) {
  const std::string r = quoted(root);
  std::string t;
  t += "# The simulated camera's sound card: \"default\" is its microphone and its control device.\n";
  t += "pcm_type.kavo { lib " + quoted(pluginDir + "/libasound_module_pcm_kavo.so") + " }\n";
  t += "ctl_type.kavo { lib " + quoted(pluginDir + "/libasound_module_ctl_kavo.so") + " }\n";
  t += "pcm.!default { type kavo root " + r + " }\n";
  t += "ctl.!default { type kavo root " + r + " }\n";
  t += "pcm.kavo { type kavo root " + r + " }\n";
  t += "ctl.kavo { type kavo root " + r + " }\n";
  return t;
}

bool checkConfig(const std::string& json, std::string& error) {
  Config cfg;
  return parseConfig(json, cfg, error);
}

bool writeConfig(const std::string& json, const std::string& pluginDir) {
  Config cfg;
  std::string error;
  if (!parseConfig(json, cfg, error)) {
    ALSA_SIM_LOG(LOG_LEVEL_ERROR, 0, "alsa simulator: configuration refused: %s", error.c_str());
    return false;
  }
  const std::string dir = pluginDir.empty() ? defaultPluginDir() : pluginDir;
  const std::string root = kavo::os::root();
  if (!writeFileAtomic(configFile(), json.empty() ? std::string("{}\n") : json) ||
      !writeFileAtomic(asoundConfFile(), asoundConfText(root, dir))) {
    ALSA_SIM_LOG(LOG_LEVEL_ERROR, errno, "alsa simulator: cannot write %s", asoundConfFile().c_str());
    return false;
  }
  SharedState* st = mapState(root, cfg, error);
  if (st == nullptr) {
    ALSA_SIM_LOG(LOG_LEVEL_ERROR, errno, "alsa simulator: %s", error.c_str());
    return false;
  }
  st->volume.store(cfg.volumeInitial);
  st->configGen.fetch_add(1);
  unmapState(st);
  return true;
}

bool use() {
  if (::setenv("ALSA_CONFIG_PATH", asoundConfFile().c_str(), 1) != 0) return false;
  snd_config_update_free_global();
  return true;
}

bool install(const std::string& json, const std::string& pluginDir) { return writeConfig(json, pluginDir) && use(); }

bool setFaults(const std::string& json) {
  if (!writeFileAtomic(faultsFile(), json)) {
    ALSA_SIM_LOG(LOG_LEVEL_ERROR, errno, "alsa simulator: cannot write %s", faultsFile().c_str());
    return false;
  }
  std::string error;
  SharedState* st = state(error);
  if (st == nullptr) return true;  // no card yet: it reads the file when it opens
  st->faultsGen.fetch_add(1);
  unmapState(st);
  return true;
}

bool injectXrun() {
  std::string error;
  SharedState* st = state(error);
  if (st == nullptr) {
    ALSA_SIM_LOG(LOG_LEVEL_ERROR, errno, "alsa simulator: %s", error.c_str());
    return false;
  }
  st->xrunRequests.fetch_add(1);
  unmapState(st);
  return true;
}

bool volume(int64_t& value) {
  std::string error;
  SharedState* st = state(error);
  if (st == nullptr) return false;
  value = st->volume.load();
  unmapState(st);
  return true;
}

}  // namespace alsa
}  // namespace sim
}  // namespace kavo

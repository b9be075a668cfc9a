#pragma once
// The simulated sound card for tests, tools and scripts: writes the ALSA configuration that makes
// "default" (PCM and control) the simulated microphone, the card's own configuration, and drives
// its faults. Files live under the test root (kavo::os::path); README.md beside the sources.
#include <cstdint>
#include <string>

namespace kavo {
namespace sim {
namespace alsa {

std::string configFile();      // "/etc/kavo_sim/alsa.json": the card (rates, signal, marks, volume)
std::string asoundConfFile();  // "/etc/kavo_sim/asound.conf": the ALSA configuration (ALSA_CONFIG_PATH)
std::string journalFile();     // "/tmp/kavo_sim/alsa.journal"
std::string faultsFile();      // "/tmp/kavo_sim/alsa.faults"
std::string stateFile();       // "/tmp/kavo_sim/alsa.state": the element's value, overrun requests

// Where the build put libasound_module_pcm_kavo.so and libasound_module_ctl_kavo.so.
std::string defaultPluginDir();

// The ALSA configuration text for a root and a plugin folder (absolute paths).
std::string asoundConfText(const std::string& root, const std::string& pluginDir);

// Writes the card's configuration (JSON text, "" or "{}" for the defaults; checked first: a
// malformed one is logged and nothing is written) and the ALSA configuration, and starts the
// card's shared state afresh (the element back at its initial value). An empty `pluginDir` means
// defaultPluginDir().
bool writeConfig(const std::string& json = "{}", const std::string& pluginDir = "");

// Points this process's ALSA library at asoundConfFile() (ALSA_CONFIG_PATH) and drops the
// configuration it has cached, so the next snd_pcm_open/snd_ctl_open of "default" reaches the card.
bool use();

// writeConfig() then use().
bool install(const std::string& json = "{}", const std::string& pluginDir = "");

// Checks a card configuration; false with the reason.
bool checkConfig(const std::string& json, std::string& error);

// Writes the faults file (atomically) and makes every open plugin take it at its next call. An
// empty text removes every fault.
bool setFaults(const std::string& json);

// Every running capture of the card overruns at its next position update.
bool injectXrun();

// The element's current value (false without a card state).
bool volume(int64_t& value);

}  // namespace alsa
}  // namespace sim
}  // namespace kavo

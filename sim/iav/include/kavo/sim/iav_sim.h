#pragma once
// Control of the simulated video DSP for tests and tools. The simulator itself is reached through
// the device seam (kavo/os/device.h): opening "/dev/iav", "/dev/ucode" or "/dev/ambad" in a PC
// build loads it. Files live under the test root (README.md beside the sources).
#include <cstdint>
#include <functional>
#include <string>

namespace kavo {
namespace sim {
namespace iav {

std::string configFile();   // "/etc/kavo_sim/iav.json" under the root
std::string runDir();       // "/tmp/kavo_sim" under the root: state, ring, microcode region
std::string journalFile();  // "/tmp/kavo_sim/iav.journal"
std::string faultsFile();   // "/tmp/kavo_sim/iav.faults"

// Writes the faults file (atomically) and makes every running simulator take it at its next
// request. An empty text removes every fault.
bool setFaults(const std::string& json);
// Moves the virtual clock forward (false when the DSP runs on the real clock).
bool advanceClock(uint64_t ns);
// The DSP's clock in ns (CLOCK_MONOTONIC, or the virtual clock).
uint64_t clockNs();
// The DSP state (IAV_STATE_*), as GET_STATE reports it.
uint32_t dspState();
// Writes the buffered journal lines of this process.
void flushJournal();
// Forgets the DSP: the next open starts from a new shared state made from the configuration.
// False while this process holds a simulated descriptor.
bool resetState();

// ---- the camera (README.md, "The camera") ---------------------------------------------------------

std::string sceneFile();  // "/etc/kavo_sim/scene.json" under the root: the scene script

// Checks the scene script, writes it (atomically) and makes every running simulator take it at its
// next frame; the script's time starts then. An empty text is the default scene. False (with
// `error`) for a malformed script, which is not written.
bool setScene(const std::string& json, std::string* error = nullptr);

// What the lens MCU (zoom, focus, IR-cut filter, IR LEDs, iris) and the GPIO publish for the
// sensor; fixed defaults until something publishes.
struct LensInputs {
  uint32_t irCutIn;        // 1: the IR-cut filter is in the light path (day), 0: out
  uint32_t irLed;          // IR LED drive, 0..255
  uint32_t iris;           // opening, 1024 = fully open
  int32_t zoom;            // zoom position
  int32_t focus;           // focus position
  int32_t focusInfinity;   // the in-focus position at this zoom for an object at infinity
  int32_t focusPerDioptre; // how far the in-focus position moves per 1/m of object distance
  uint32_t depthOfField;   // focus steps of defocus per pixel of blur radius (1920-pixel picture)
  uint32_t magnification;  // optical zoom, 100 = widest
  uint32_t moving;         // the lens moves during this frame
};
bool lensInputs(LensInputs& out);
// Publishes new inputs; the sensor takes them from the next frame.
bool setLensInputs(const LensInputs& in);
// Changes some of the inputs under the state's lock, so that two publishers (the lens MCU and the
// GPIO) never undo each other's fields.
bool updateLensInputs(const std::function<void(LensInputs&)>& change);

// The scene now, on the DSP's clock.
struct SceneNow {
  double lux;
  double kelvin;
  double distance;  // m
  double irLux;     // ambient IR, lux equivalent
};
bool sceneNow(SceneNow& out);

// The sensor's settings in force for the frame being captured.
struct SensorNow {
  uint64_t frame;
  uint32_t shutter;  // 1/512,000,000 s
  int32_t agcDb;     // 1/IAV_AGC_DB_ONE dB
  uint32_t wb[3];    // 1/1024
  uint32_t mirror;   // the pattern sent
};
bool sensorNow(SensorNow& out);

}  // namespace iav
}  // namespace sim
}  // namespace kavo

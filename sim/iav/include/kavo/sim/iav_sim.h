#pragma once
// Control of the simulated video DSP for tests and tools. The simulator itself is reached through
// the device seam (kavo/os/device.h): opening "/dev/iav", "/dev/ucode" or "/dev/ambad" in a PC
// build loads it. Files live under the test root (README.md beside the sources).
#include <cstdint>
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

}  // namespace iav
}  // namespace sim
}  // namespace kavo

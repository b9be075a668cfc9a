#pragma once
// Start-up steps of the ISP server: board detection and the System V objects it shares with other
// processes under "/tmp/shm/".
#include <cstdint>

namespace kavo {
namespace isp {

// Key files of the segments, and their sizes in bytes.
constexpr const char* kShmDir = "/tmp/shm/";
constexpr const char* kCtrlKeyFile = "/tmp/shm/ispserver_ctrl";
constexpr const char* kImageKeyFile = "/tmp/shm/image";
constexpr const char* kFocusKeyFile = "/tmp/shm/focus_server";
constexpr int kCtrlShmBytes = 32;
constexpr int kImageShmBytes = 1024;
constexpr int kViscaShmBytes = 64;
constexpr int kFocusShmBytes = 64;

// Reads the board name from "/etc/board.info" and fills the board word, SystemParameters and
// AELimits of the globals from the board table. 0 when DSP, system type, lens and sensor are all
// known, -1 otherwise (the records keep what was written).
int set_system_parameters();

// "/tmp/shm/" (mode 0755) and the four key files, each created empty when missing.
void createShareMemoryFiles();
// Removes a semaphore set that a server killed before its stop left on the VISCA key file, so
// that the VISCA channel can be created again. Call while holding the single-instance lock.
void removeStaleViscaSemaphore();
// The control, image, VISCA and focus segments, created or reused, zero-filled and recorded in
// the globals; a segment that cannot be made is logged and left null.
void createIspServerShareMemory();
// Byte 1 of the control segment := 1 and the ready flag of the globals := 1.
void markShareMemoryReady();
// Removes the image, control and focus segments that start-up made; the VISCA segment stays.
void deleteIspServerShareMemory();

}  // namespace isp
}  // namespace kavo

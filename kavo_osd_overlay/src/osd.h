#pragma once
// The mode handlers of the OSD overlay program and what they share.
#include <csignal>
#include <string>

#include "kavo/logger/logger.h"

#define OSD_LOG(level, err, ...) \
  logInternal("kavo_osd_overlay", __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)

namespace kavo {
namespace osd {

// Set by SIGTERM and SIGINT; the modes' loops look at it on every turn and stop in order (exit 0).
extern volatile sig_atomic_t quitRequested;

int main_src_sync(const std::string& srcFile, const std::string& remoteFile);
int main_calibration(const std::string& calibFile, int meId, const std::string& srcFile);
int main_blend(const std::string& calibFile, int meId, const std::string& srcFile);
int test_osd();

}  // namespace osd
}  // namespace kavo

// kavo_osd_overlay: writes the OSD test frame ("test") or finds circles in the camera's small luma
// buffer ("calib"); "run" and "sync_src" are declared but not implemented. One thread; SIGTERM and
// SIGINT end a running mode in order.
#include <signal.h>
#include <syslog.h>

#include <string>

#include "kavo/utils/system.h"
#include "kavo/variant/variant.h"
#include "kavo/variant_utils/commandline.h"
#include "osd.h"

namespace {

using kavo::variant::Variant;
using kavo::variant::VariantType;

const char kDefaultRemoteFile[] = "scp://osd-source/tmp/extsrc.pgm";

void onQuit(int) { kavo::osd::quitRequested = 1; }

std::string stringOr(const Variant& result, const char* chain, const char* fallback) {
  const Variant* v = result.GetKeyChain(VariantType::String, chain);
  return v != nullptr ? v->AsString() : std::string(fallback);
}

}  // namespace

int main(int argc, char** argv) {
  ::openlog("osd2", LOG_PID, LOG_LOCAL0);
  if (!kavo::utils::InstallCrashDumpHandler(nullptr)) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "Unable to install the crash dump handler");
    return -1;
  }

  const std::string remoteHelp = std::string("Path to remote source file, defaults to ") + kDefaultRemoteFile;
  Variant definitions;
  kavo::variant::AddParameter(definitions, 'h', "help", "Outputs this help", Variant());
  kavo::variant::AddParameter(definitions, 'm', "mode", "[sync_src, calib, run, test], defaults to run", Variant());
  kavo::variant::AddParameter(definitions, 'c', "calib_file",
                              "Path to calibration file, defaults to /etc/osd2_calib.txt", Variant());
  kavo::variant::AddParameter(definitions, 's', "src_file", "Path to image source file, defaults to /tmp/extsrc.pgm",
                              Variant());
  kavo::variant::AddParameter(definitions, 'r', "remote_file", remoteHelp.c_str(), Variant());
  kavo::variant::AddParameter(definitions, 'n', "me_id", "ME1 buffer id to use, 0 or 1", Variant());

  Variant result;
  kavo::variant::ParseCommandLine(argc, argv, definitions, result);
  if (result.GetKeyChain(VariantType::Any, "parameters/help") != nullptr) {
    kavo::variant::PrintHelp(argv[0], definitions);
    return 0;
  }

  const std::string mode = stringOr(result, "parameters/mode", "run");
  const std::string calibFile = stringOr(result, "parameters/calib_file", "/etc/osd2_calib.txt");
  const std::string srcFile = stringOr(result, "parameters/src_file", "/tmp/extsrc.pgm");
  const std::string remoteFile = stringOr(result, "parameters/remote_file", kDefaultRemoteFile);
  const Variant* meIdValue = result.GetKeyChain(VariantType::Numeric, "parameters/me_id");
  const int meId = meIdValue != nullptr ? meIdValue->AsInt32() : 0;

  struct sigaction quit {};
  quit.sa_handler = onQuit;
  sigemptyset(&quit.sa_mask);
  ::sigaction(SIGTERM, &quit, nullptr);
  ::sigaction(SIGINT, &quit, nullptr);

  if (mode == "sync_src") return kavo::osd::main_src_sync(srcFile, remoteFile);
  if (mode == "calib") return kavo::osd::main_calibration(calibFile, meId, srcFile);
  if (mode == "run") return kavo::osd::main_blend(calibFile, meId, srcFile);
  if (mode == "test") return kavo::osd::test_osd();
  OSD_LOG(LOG_LEVEL_ERROR, 0, "Invalid mode: %s", mode.c_str());
  return -1;
}

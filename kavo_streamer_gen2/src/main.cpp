// kavo_streamer_gen2: brings up the video DSP through the encoder library, writes the streams to
// their destinations and serves the video requests of other processes, all on one thread, until
// SIGTERM.
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "changevideosettingshandler.h"
#include "enablelivevideohandler.h"
#include "eventanalyticsmotionhandler.h"
#include "forceidrhandler.h"
#include "kavo/encoder/encoder.h"
#include "kavo/encoder/encodersettings.h"
#include "kavo/ipc/catchallhandlerrejector.h"
#include "kavo/ipc/ipc.h"
#include "kavo/ipc/loghandler.h"
#include "kavo/os/path.h"
#include "kavo/threading/interprocessmutex.h"
#include "kavo/threading/priority.h"
#include "kavo/utils/strings.h"
#include "kavo/utils/system.h"
#include "kavo/variant/variant.h"
#include "kavo/variant_utils/camerainfo.h"
#include "kavo/variant_utils/commandline.h"
#include "resetvideosettingshandler.h"
#include "streamerlog.h"

namespace {

using kavo::variant::Variant;
using kavo::variant::VariantType;

// Read at the top of every loop turn; written by the SIGTERM handler only.
volatile sig_atomic_t quitRequested = 0;

void QuitSignalHandler(int, siginfo_t*, void*) {
  static const char kLine[] = "SIGTERM received\n";
  // Plain write: the interrupted thread may hold the locks of buffered output.
  const ssize_t ignored = ::write(STDOUT_FILENO, kLine, sizeof kLine - 1);
  (void)ignored;
  quitRequested = 1;
}

const char* const kConfigFileHelp =
    "Complete path to the config file. If not specified, it will be searched in the following order:\n"
    "\t\t/etc/kavo_streamer.json\n"
    "\t\t/usr/etc/kavo_streamer.json\n"
    "\t\t/etc/kavo_streamer_<capabilities>.json\n"
    "\t\t/usr/etc/kavo_streamer_<capabilities>.json\n"
    "\t\t./kavo_streamer.json\n"
    "\t\t./kavo_streamer_<capabilities>.json";

// Far above any real configuration (a few kilobytes); parsing a larger file would only cost memory
// (about 300 bytes per array element).
constexpr off_t kMaxConfigFileSize = 1 << 20;

// True, logged, when `path` names a file too large to be a configuration.
bool TooLargeForAConfiguration(const std::string& path) {
  struct stat st {};
  if (::stat(kavo::os::path(path).c_str(), &st) != 0 || st.st_size <= kMaxConfigFileSize) return false;
  STREAMER_LOG("main", LOG_LEVEL_ERROR, 0, "Config file `%s` is too large (%lld bytes, at most %lld): skipped",
               path.c_str(), static_cast<long long>(st.st_size), static_cast<long long>(kMaxConfigFileSize));
  return true;
}

// Runs the program once the handlers exist; the caller destroys them, then the encoder, then the
// hub, whatever this returns.
int Serve(kavo::ipc::Ipc* ipc, kavo::encoder::Encoder& encoder, const kavo::encoder::EncoderSettings& settings) {
  if (!ipc->Init("kavo_streamer", false)) return -1;
  if (!encoder.Open(settings)) return -1;
  if (!encoder.StartEncode()) return -1;

  quitRequested = 0;
  struct sigaction action {};
  action.sa_sigaction = QuitSignalHandler;
  action.sa_flags = SA_SIGINFO;
  if (sigemptyset(&action.sa_mask) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
    STREAMER_LOG("main", LOG_LEVEL_ERROR, 0, "Unable to install the quit signal");
    kavo::utils::forceCrash();
  }

  bool ipcAlive = true;
  for (;;) {
    if (quitRequested != 0) {
      STREAMER_LOG("main", LOG_LEVEL_INFO, 0, "Gracefully shut down");
      return 0;
    }
    if (!encoder.EncodeFrames()) {
      STREAMER_LOG("main", LOG_LEVEL_ERROR, 0, "Unable to encode frames");
      return -1;
    }
    if (ipcAlive && !ipc->Service(0)) {
      STREAMER_LOG("main", LOG_LEVEL_WARNING, 0, "Unable to perform IPC. Bailing out permanently from doing IPC");
      ipcAlive = false;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef M_MMAP_THRESHOLD
  // A fixed threshold keeps large blocks (IPC bodies, peer backlogs) in mappings of their own that
  // go back to the system when freed. The allocator's default raises the threshold after each
  // such free, so later large blocks fragment the heap and the resident size creeps up for hours.
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  ::openlog("streamer", LOG_PID, LOG_LOCAL0);
  if (!kavo::utils::InstallCrashDumpHandler(nullptr)) {
    STREAMER_LOG("main", LOG_LEVEL_ERROR, 0, "Unable to install the crash dump handler");
    return -1;
  }
  // Live-view and TCP peers come and go; a write to a peer that left must be an error, not the end
  // of the process. So must a write beyond the file-size limit: that one recording fails (EFBIG),
  // the other streams go on.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  Variant definitions;
  kavo::variant::AddParameter(definitions, 'h', "help", "Outputs this help", Variant(true));
  kavo::variant::AddParameter(
      definitions, 'd', "dryRun",
      "Dry-run the encoder. Used to initialize the whole image pipe than exit. Needed for getting chipId for example",
      Variant(""));
  kavo::variant::AddParameter(definitions, 'l', "logIpc", "Log all IPC messages", Variant(""));
  kavo::variant::AddParameter(
      definitions, 'p', "priority",
      "Run the process with priority. Valid values between 0 (standard priority) and 99 (high priority).",
      Variant(static_cast<int32_t>(0)));
  kavo::variant::AddParameter(definitions, 'c', "configFile", kConfigFileHelp, Variant(""));

  Variant parameters;
  kavo::variant::ParseCommandLine(argc, argv, definitions, parameters);

  if (parameters.GetKeyChain(VariantType::Any, "parameters/help") != nullptr) {
    kavo::variant::PrintHelp(argv[0], definitions);
    return 0;
  }

  if (const Variant* priority = parameters.GetKeyChain(VariantType::Numeric, "parameters/priority")) {
    if (!kavo::threading::SetRealTimePriority(0, priority->AsInt32()))
      STREAMER_LOG("main", LOG_LEVEL_WARNING, 0, "Unable to setup the current process priority");
  }

  kavo::threading::InterProcessMutex singleton("kavo_streamer_gen2_singleton", false);
  if (singleton.acquire() != 0) {
    STREAMER_LOG("main", LOG_LEVEL_ERROR, 0,
                 "%s already running or kavo_streamer_gen2_singleton already acquired by someone else", argv[0]);
    return -1;
  }

  if (parameters.GetKeyChain(VariantType::Any, "parameters/dryRun") != nullptr) {
    STREAMER_LOG("main", LOG_LEVEL_INFO, 0, "Detected capabilities: %uMbps",
                 kavo::encoder::Encoder::GetChipPerformance());
    return 0;
  }

  kavo::variant::CameraInfo cameraInfo;
  if (!cameraInfo.Init()) {
    STREAMER_LOG("main", LOG_LEVEL_ERROR, 0, "Unable to determine camera info");
    return 0;
  }

  const uint32_t capability = kavo::encoder::Encoder::GetChipPerformance();
  const std::vector<std::string> folders = {"./", "/etc/", "/usr/etc/"};
  const std::vector<std::string> names = {
      kavo::utils::format("kavo_streamer_sysid_%04x.json", static_cast<unsigned>(cameraInfo.sysid() & 0xFFFFFFFFu)),
      kavo::utils::format("kavo_streamer_mbps_%u.json", capability), "kavo_streamer.json"};
  std::vector<std::string> paths;
  if (const Variant* configFile = parameters.GetKeyChain(VariantType::String, "parameters/configFile")) {
    paths.push_back(configFile->AsString());
  } else {
    for (const std::string& folder : folders)
      for (const std::string& name : names) paths.push_back(folder + name);
  }

  STREAMER_LOG("main", LOG_LEVEL_DEBUG, 0, "Will look for config file in the following locations:");
  for (const std::string& path : paths) STREAMER_LOG("main", LOG_LEVEL_DEBUG, 0, "\t\t%s", path.c_str());

  kavo::encoder::EncoderSettings settings;
  bool found = false;
  for (const std::string& path : paths) {
    if (TooLargeForAConfiguration(path)) continue;
    if (settings.FromJSONFile(path)) {
      STREAMER_LOG("main", LOG_LEVEL_INFO, 0, "Using the following config file: `%s`", path.c_str());
      found = true;
      break;
    }
  }
  if (!found) {
    STREAMER_LOG("main", LOG_LEVEL_ERROR, 0, "No valid config file found");
    return -1;
  }

  kavo::ipc::Ipc* ipc = kavo::ipc::Ipc::GetInstance();
  int status = -1;
  {
    // The catch-all handlers outlive the encoder: closing its destinations still sends status
    // events, and the hub consults its catch-all for every message it sends.
    kavo::ipc::CatchAllHandlerRejector rejector;
    kavo::ipc::LogHandler logHandler;
    kavo::encoder::Encoder encoder;
    kavo::streamer::ChangeVideoSettingsHandler changeVideoSettings(&encoder);
    kavo::streamer::ForceIDRHandler forceIdr(&encoder);
    kavo::streamer::ResetVideoToDefaultsHandler resetVideoSettings(&encoder);
    kavo::streamer::EventAnalyticsMotionHandler eventAnalyticsMotion(&encoder);
    kavo::streamer::EnableLiveVideoHandler enableLiveVideo(&encoder);

    const std::pair<const char*, kavo::ipc::BaseHandler*> functions[] = {
        {"ChangeVideoSettings", &changeVideoSettings}, {"GetVideoSettings", &changeVideoSettings},
        {"ForceIDR", &forceIdr},                       {"ResetVideoSettings", &resetVideoSettings},
        {"EventAnalyticsMotion", &eventAnalyticsMotion}, {"EnableLiveVideo", &enableLiveVideo}};
    for (const auto& function : functions) ipc->AddHandler(function.first, function.second);
    if (parameters.GetKeyChain(VariantType::Any, "parameters/logIpc") != nullptr) {
      for (const auto& function : functions) ipc->AddHandler(function.first, &logHandler);
      ipc->AddHandler("", &logHandler);
    } else {
      ipc->AddHandler("", &rejector);
    }

    status = Serve(ipc, encoder, settings);
    // The request handlers go first (in reverse order of construction), then the encoder closes
    // its streams and destinations, then the catch-all handlers.
  }
  kavo::ipc::Ipc::FreeInstance();
  return status;
}

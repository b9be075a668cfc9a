#include "ispserver_api.h"

#include <mutex>

#include "ispserver_messenger.h"
#include "kavo/ipc/ipc.h"
#include "misc/isp_log.h"

namespace kavo {
namespace isp {

using kavo::ispserver::ispserver_messenger::IspServerMessenger;

namespace {
// The messenger of startExtAPIThread, for the stop.
IspServerMessenger* g_messenger = nullptr;
}  // namespace

int startExtAPIThread(IspSettings* settings) {
  static IspServerMessenger messenger(settings);
  g_messenger = &messenger;
  int result = messenger.Initialize();
  if (result != 0) {
    ISPAPP_LOG("ispserver_api", "startExtAPIThread", LOG_LEVEL_ERROR, "Failed to initialize ISP Server Messenger!");
    return result;
  }
  result = messenger.Run();
  if (result != 0)
    ISPAPP_LOG("ispserver_api", "startExtAPIThread", LOG_LEVEL_ERROR, "Failed to run ISP Server Messenger!");
  return result;
}

void stopExtAPIThread() {
  if (g_messenger == nullptr || !g_messenger->Join()) return;
  kavo::ipc::Ipc::FreeInstance();
}

IspSettings copyLiveSettings(IspSettings& settings) {
  std::lock_guard<std::mutex> lock(kavo::ispserver::ispserver_messenger::liveSettingsMutex());
  return settings;
}

}  // namespace isp
}  // namespace kavo

#pragma once
// IspServerMessenger: the ISP server's IPC endpoint "kavo_ispserver" and the thread that serves
// it. It serves "ChangeIspSettings", "ResetIspSettings", "ResetAllIspSettings",
// "ReloadIspSettings" and "ReInitIsp"; every other function goes to the catch-all rejector.
//
// A change is announced to the analytics process ("kavo_analytics") before it is applied:
// "ChangeAnalyticsSettings" when it mirrors or flips the picture, "AnalyticsInterrupt" otherwise.
// It stays pending until analytics answers the announcement (matched by its id): 0 applies it and
// answers the client with status 0 and the settings, anything else drops it and answers status 1
// with the settings that stand. While a change is pending and at most kAnalyticsTimeoutMs old,
// every request is answered status 1 {"reason": "Busy"}; the first request after that applies the
// change without the answer, answers its client, and is then served itself.
//
// Threads: Initialize runs on the main thread before Run; every handler runs inside
// Ipc::Service on the messenger's thread. The live document is shared with a re-initialisation on
// the main thread, which reads it under liveSettingsMutex().
#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ispsettings.h"
#include "kavo/ipc/catchallhandlerrejector.h"
#include "kavo/ipc/ipc.h"
#include "kavo/ipc/loghandler.h"
#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/changeispsettings.h"
#include "kavo/ipc/requesthandler.h"
#include "kavo/threading/autothread.h"

namespace kavo {
namespace ispserver {
namespace ispserver_messenger {

// Held while the live settings document is read or written by the IPC thread or a
// re-initialisation; never across a wait or a call into the image controller.
std::mutex& liveSettingsMutex();

class IspServerMessenger : public kavo::ipc::RequestHandler, public kavo::threading::IThreadRoutine {
 public:
  using BaseRequestMessage = kavo::ipc::messages::BaseRequestMessage;
  using BaseResponseMessage = kavo::ipc::messages::BaseResponseMessage;
  using ChangeIspSettings = kavo::ipc::messages::ChangeIspSettings;

  static constexpr int64_t kAnalyticsTimeoutMs = 10000;
  static constexpr int kServiceWaitMs = 50;
  static constexpr int64_t kInitRetryMs = 2000;

  // `settings`: the live document, changed in place, not owned.
  explicit IspServerMessenger(kavo::isp::IspSettings* settings);
  ~IspServerMessenger() override;

  // Takes the reset snapshots, registers the handlers and opens the endpoint. 0 also when the
  // endpoint cannot be opened now (logged): the thread tries again every kInitRetryMs.
  int Initialize();
  // Starts the thread; 0.
  int Run();
  // Ipc::Service(kServiceWaitMs) until Cancel; a failed pass or a closed endpoint waits
  // kServiceWaitMs instead of spinning.
  int ThreadRoutine() override;
  // The loop ends after the Service pass in progress.
  void Cancel() override;
  // Cancel, then wait for the thread to end. False when it never started.
  bool Join();

  // Requests of the five functions (anything else is logged and refused, not answered).
  bool HandleRequest(BaseRequestMessage& request, bool& cont) override;
  // Answers of analytics to the messenger's own announcements.
  bool HandleResponse(BaseRequestMessage& request, BaseResponseMessage& response, bool& cont) override;

  // Answers `request` (when it expects an answer) with status 0 when ok, else 1, and a snapshot.
  bool SendSettingsResponse(BaseRequestMessage& request, bool ok);
  // Every setting of `message` from the live document (repairing it where a key is missing).
  void FillSettingsMessage(ChangeIspSettings& message);
  // Applies the settings of `change` that are set and differ from the live document; true.
  bool UpdateSettings(ChangeIspSettings& change);

  bool IsPending() const { return pending; }

 private:
  bool OpenEndpoint();
  // The pending change: applied, its client answered, nothing pending any more.
  bool ApplyPending();
  // UpdateSettings on `live`, the document as it stands (taken over).
  bool Apply(ChangeIspSettings& change, ChangeIspSettings& live);
  // SendSettingsResponse with a snapshot the caller holds already.
  bool AnswerWith(BaseRequestMessage& request, bool ok, const ChangeIspSettings& snapshot);
  // Writes every setting of `message` into the live document.
  void StoreSettingsMessage(ChangeIspSettings& message);

  kavo::ipc::Ipc* ipc = nullptr;
  std::atomic<bool> stop{false};
  std::shared_ptr<kavo::threading::AutoThread> thread;
  kavo::isp::IspSettings* settings;
  ChangeIspSettings resetSettings;
  ChangeIspSettings resetAllSettings;
  ChangeIspSettings lastAppliedSettings;
  BaseRequestMessage pendingRequest;
  ChangeIspSettings pendingSettings;
  // The document when the change was announced: only a change applied writes it, and none is
  // while one is pending.
  ChangeIspSettings pendingLive;
  bool pending = false;
  struct timespec pendingSince {};
  uint64_t pendingAnnouncement = 0;  // the "id" analytics' answer refers to
  kavo::ipc::CatchAllHandlerRejector rejector;
  kavo::ipc::LogHandler logHandler;
};

}  // namespace ispserver_messenger
}  // namespace ispserver
}  // namespace kavo

#include "ispserver_messenger.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "kavo/ipc/messages/analyticsinterrupt.h"
#include "kavo/ipc/messages/changeanalyticssettings.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace ispserver {
namespace ispserver_messenger {

namespace {

using kavo::ipc::messages::AnalyticsInterrupt;
using kavo::ipc::messages::ChangeAnalyticsSettings;
using kavo::ipc::messages::ChangeIspSettings;
using kavo::ipc::messages::ChangeIspSettingsFields;
using kavo::variant::Variant;
namespace fields = kavo::ipc::messages::fields;
using F = ChangeIspSettingsFields;
using Byte = fields::Incremental<uint8_t>;

#define MSG_LOG(function, level, ...) ISPAPP_LOG("ispserver_messenger", function, level, __VA_ARGS__)

constexpr const char* kSelfName = "kavo_ispserver";
constexpr const char* kAnalytics = "kavo_analytics";
constexpr const char* kServed[] = {"ChangeIspSettings", "ResetIspSettings", "ResetAllIspSettings",
                                   "ReloadIspSettings", "ReInitIsp"};
constexpr const char* kAnnouncements[] = {"ChangeAnalyticsSettings", "AnalyticsInterrupt"};

// Each setting of a change and where the live document keeps it, in snapshot order.
#define ISP_SETTING_LINKS(LINK)                             \
  LINK(brightness, image(), brightness)                     \
  LINK(contrast, image(), contrast)                         \
  LINK(denoise, image(), denoise)                           \
  LINK(hue, image(), hue)                                   \
  LINK(saturation, image(), saturation)                     \
  LINK(sharpness, image(), sharpness)                       \
  LINK(wdr, image(), wdr)                                   \
  LINK(mirror, image(), mirror)                             \
  LINK(flip, image(), flip)                                 \
  LINK(aeMode, ae(), mode)                                  \
  LINK(irLedMode, ir().led(), mode)                         \
  LINK(irLedLevel, ir().led(), level)                       \
  LINK(focusMode, motor().focus(), mode)                    \
  LINK(zoomPosition, motor().zoom(), position)              \
  LINK(focusPosition, motor().focus(), position)            \
  LINK(irOnValBrightness, image(), irOnValBrightness)       \
  LINK(irOnValContrast, image(), irOnValContrast)           \
  LINK(irOnValHue, image(), irOnValHue)                     \
  LINK(irOnValSaturation, image(), irOnValSaturation)       \
  LINK(irOnValSharpness, image(), irOnValSharpness)         \
  LINK(irOnValDenoise, image(), irOnValDenoise)             \
  LINK(irOnStsBrightness, image(), irOnStsBrightness)       \
  LINK(irOnStsContrast, image(), irOnStsContrast)           \
  LINK(irOnStsHue, image(), irOnStsHue)                     \
  LINK(irOnStsSaturation, image(), irOnStsSaturation)       \
  LINK(irOnStsSharpness, image(), irOnStsSharpness)         \
  LINK(irOnStsDenoise, image(), irOnStsDenoise)

template <class To, class From>
To as(From&& value) {
  return static_cast<To>(std::forward<From>(value));
}

// A field of `change` is set when it is not at its mark; it differs when `live` holds another value.
template <class T>
bool setAndDiffers(const fields::Incremental<T>& f, ChangeIspSettings& change, ChangeIspSettings& live) {
  const T wanted = f.get(change);
  return f.isSet(wanted) && wanted != f.get(live);
}

bool setAndDiffers(const fields::Choice& f, ChangeIspSettings& change, ChangeIspSettings& live) {
  const std::string wanted = f.get(change);
  return wanted != f.def && wanted != f.get(live);
}

// When the field is set and differs: logged ("<name> changed: old -> new"), taken into `live`.
template <class T>
bool take(const fields::Incremental<T>& f, const char* name, ChangeIspSettings& change, ChangeIspSettings& live) {
  if (!setAndDiffers(f, change, live)) return false;
  const T wanted = f.get(change);
  MSG_LOG("UpdateSettings", LOG_LEVEL_INFO, "%s changed: %u -> %u", name, static_cast<unsigned>(f.get(live)),
          static_cast<unsigned>(wanted));
  f.set(live, wanted);
  return true;
}

bool take(const fields::Choice& f, const char* name, ChangeIspSettings& change, ChangeIspSettings& live) {
  if (!setAndDiffers(f, change, live)) return false;
  const std::string wanted = f.get(change);
  MSG_LOG("UpdateSettings", LOG_LEVEL_INFO, "%s changed: %s -> %s", name, f.get(live).c_str(), wanted.c_str());
  f.set(live, wanted);
  return true;
}

bool isOneOf(const std::string& name, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (name == names[i]) return true;
  return false;
}

// VISCA switches the AF mode too (one mode word): the document takes the mode in force before a
// request is weighed against it. A word without a mode name (none yet, a calibration) leaves it.
void takeFocusModeInForce(kavo::isp::IspSettings& settings) {
  const int32_t code = kavo::isp::g_isp.focusMode.load();
  const char* name = kavo::isp::focusModeNameOf(code);
  if (name == nullptr) return;
  std::lock_guard<std::mutex> lock(liveSettingsMutex());
  if (kavo::isp::focusModeCodeOf(settings.motor().focus().mode().c_str()) != code) settings.motor().focus().mode(name);
}

}  // namespace

std::mutex& liveSettingsMutex() {
  static std::mutex mutex;
  return mutex;
}

IspServerMessenger::IspServerMessenger(kavo::isp::IspSettings* liveSettings)
    : RequestHandler(kSelfName), settings(liveSettings) {}

// The thread goes first: it uses everything else.
IspServerMessenger::~IspServerMessenger() { thread.reset(); }

int IspServerMessenger::Initialize() {
  FillSettingsMessage(resetAllSettings);
  FillSettingsMessage(resetSettings);
  lastAppliedSettings.NormalizeFields();  // every setting at its mark: nothing applied yet
  ipc = kavo::ipc::Ipc::GetInstance();
  for (const char* name : kServed) ipc->AddHandler(name, this);
  for (const char* name : kAnnouncements) ipc->AddHandler(name, this);
  ipc->AddHandler("", &rejector);
  OpenEndpoint();
  return 0;
}

bool IspServerMessenger::OpenEndpoint() {
  if (ipc->Init(kSelfName, false)) return true;
  MSG_LOG("Initialize", LOG_LEVEL_ERROR, "Response:%d, ipc library initailization failed.", 2);
  return false;
}

int IspServerMessenger::Run() {
  stop.store(false);
  thread = std::make_shared<kavo::threading::AutoThread>(static_cast<kavo::threading::IThreadRoutine*>(this));
  return 0;
}

int IspServerMessenger::ThreadRoutine() {
  struct timespec lastOpen = kavo::utils::moment();
  while (!stop.load()) {
    if (!ipc->IsInitialized()) {
      // Another process holds the endpoint (or the socket could not be made): try again now and
      // then, and do not call Service meanwhile, which would only log that it is closed.
      const struct timespec now = kavo::utils::moment();
      if (kavo::utils::momentsDiffMs(lastOpen, now) >= kInitRetryMs) {
        lastOpen = now;
        if (OpenEndpoint()) {
          MSG_LOG("ThreadRoutine", LOG_LEVEL_INFO, "IPC endpoint %s open", kSelfName);
          continue;
        }
      }
      ::usleep(kServiceWaitMs * 1000);
      continue;
    }
    if (!ipc->Service(kServiceWaitMs)) ::usleep(kServiceWaitMs * 1000);
  }
  return 0;
}

void IspServerMessenger::Cancel() { stop.store(true); }

bool IspServerMessenger::Join() {
  if (!thread) return false;
  thread->Cancel();
  return thread->Join();
}

bool IspServerMessenger::HandleRequest(BaseRequestMessage& request, bool&) {
  const std::string function = request.functionName();
  if (!isOneOf(function, kServed, sizeof(kServed) / sizeof(kServed[0]))) {
    MSG_LOG("HandleRequest", LOG_LEVEL_ERROR, "Invalid function name");
    return false;
  }
  const struct timespec now = kavo::utils::moment();
  if (pending) {
    if (kavo::utils::momentsDiffMs(pendingSince, now) <= kAnalyticsTimeoutMs) {
      Variant busy;
      busy["reason"] = "Busy";
      return Answer(request, 1, busy);
    }
    MSG_LOG("HandleRequest", LOG_LEVEL_WARNING, "Timeout propagating ISP changes to analytics");
    ApplyPending();
  }

  ChangeIspSettings change;
  if (function == "ResetIspSettings") {
    MSG_LOG("HandleRequest", LOG_LEVEL_INFO, "[IPC]ResetIspSettings");
    change = resetSettings;
  } else if (function == "ResetAllIspSettings") {
    MSG_LOG("HandleRequest", LOG_LEVEL_INFO, "[IPC]ResetAllIspSettings");
    // The re-initialisation reads the document under its lock, so none is held while waiting.
    while (kavo::isp::g_isp.runState.load() == kavo::isp::kRunStateReinit && !stop.load()) ::sleep(1);
    change = resetAllSettings;
  } else if (function == "ReloadIspSettings") {
    MSG_LOG("HandleRequest", LOG_LEVEL_INFO, "[IPC]ReloadIspSettings");
    change = lastAppliedSettings;
  } else if (function == "ReInitIsp") {
    MSG_LOG("HandleRequest", LOG_LEVEL_INFO, "[IPC]ReInitIsp");
    kavo::isp::requestReinit();  // refused while a stop is pending
    return true;
  } else {
    change = ChangeIspSettings(request);
    change.NormalizeFields();
  }

  takeFocusModeInForce(*settings);
  ChangeIspSettings current;
  FillSettingsMessage(current);
  if (setAndDiffers(F::mirror, change, current) || setAndDiffers(F::flip, change, current)) {
    ChangeAnalyticsSettings announcement;
    announcement.from(kSelfName);
    announcement.to(kAnalytics);
    announcement.responseExpected(true);
    announcement.respondFullSettings(false);
    if (setAndDiffers(F::mirror, change, current)) announcement.ispMirror(change.mirror());
    if (setAndDiffers(F::flip, change, current)) announcement.ispFlip(change.flip());
    if (!ipc->SendRequest(announcement)) {
      MSG_LOG("HandleRequest", LOG_LEVEL_ERROR, "Failed to send mirror/flip notification to analytics");
      AnswerWith(request, false, current);  // the change is dropped; its client is not left waiting
      return false;
    }
    pendingAnnouncement = announcement.id();
  } else {
    int differing = 0;
#define KAVO_COUNT_DIFFERING(field, section, key) differing += setAndDiffers(F::field, change, current);
    ISP_SETTING_LINKS(KAVO_COUNT_DIFFERING)
#undef KAVO_COUNT_DIFFERING
    if (differing == 0) return AnswerWith(request, true, current);
    AnalyticsInterrupt announcement;
    announcement.from(kSelfName);
    announcement.to(kAnalytics);
    announcement.responseExpected(true);
    announcement.reason("ISP change");
    if (!ipc->SendRequest(announcement)) {
      MSG_LOG("HandleRequest", LOG_LEVEL_ERROR, "Failed to send interrupt to analytics");
      AnswerWith(request, false, current);
      return false;
    }
    pendingAnnouncement = announcement.id();
  }
  pendingRequest = request;
  pendingSettings = std::move(change);
  pendingLive = std::move(current);
  pending = true;
  pendingSince = now;
  return true;
}

bool IspServerMessenger::HandleResponse(BaseRequestMessage& request, BaseResponseMessage& response, bool&) {
  if (!pending) {
    MSG_LOG("HandleResponse", LOG_LEVEL_ERROR, "Got response for analytics settings change, which was never initiated");
    return false;
  }
  const std::string function = request.functionName();
  if (!isOneOf(function, kAnnouncements, sizeof(kAnnouncements) / sizeof(kAnnouncements[0]))) {
    MSG_LOG("HandleResponse", LOG_LEVEL_ERROR, "Unexpected response to function %s", function.c_str());
    return false;
  }
  // An answer to an announcement that timed out must not apply the change announced since.
  if (request.id() != pendingAnnouncement) {
    MSG_LOG("HandleResponse", LOG_LEVEL_WARNING,
            "Dropped the answer to an earlier analytics announcement (id %llu, waiting for %llu)",
            static_cast<unsigned long long>(request.id()), static_cast<unsigned long long>(pendingAnnouncement));
    return false;
  }
  if (response.statusCode() != 0) {
    MSG_LOG("HandleResponse", LOG_LEVEL_ERROR, "Analytics settings update failed, reject ISP setting update");
    pending = false;
    SendSettingsResponse(pendingRequest, false);
    return false;
  }
  return ApplyPending();
}

// The settings that stand after the change are read back once: they are the last applied ones and
// the answer.
bool IspServerMessenger::ApplyPending() {
  const bool ok = Apply(pendingSettings, pendingLive);
  pending = false;
  if (!ok) return SendSettingsResponse(pendingRequest, false);
  lastAppliedSettings = ChangeIspSettings();  // the settings alone, as the answer carries them
  FillSettingsMessage(lastAppliedSettings);
  return AnswerWith(pendingRequest, true, lastAppliedSettings);
}

bool IspServerMessenger::SendSettingsResponse(BaseRequestMessage& request, bool ok) {
  if (!request.responseExpected()) return true;
  ChangeIspSettings snapshot;
  FillSettingsMessage(snapshot);
  return AnswerWith(request, ok, snapshot);
}

bool IspServerMessenger::AnswerWith(BaseRequestMessage& request, bool ok, const ChangeIspSettings& snapshot) {
  if (!request.responseExpected()) return true;
  return Answer(request, ok ? 0 : 1, snapshot);
}

void IspServerMessenger::FillSettingsMessage(ChangeIspSettings& message) {
  std::lock_guard<std::mutex> lock(liveSettingsMutex());
#define KAVO_FILL(field, section, key) \
  message.field(as<std::decay_t<decltype(message.field())>>(settings->section.key()));
  ISP_SETTING_LINKS(KAVO_FILL)
#undef KAVO_FILL
}

void IspServerMessenger::StoreSettingsMessage(ChangeIspSettings& message) {
  std::lock_guard<std::mutex> lock(liveSettingsMutex());
#define KAVO_STORE(field, section, key) \
  settings->section.key(as<std::decay_t<decltype(settings->section.key())>>(message.field()));
  ISP_SETTING_LINKS(KAVO_STORE)
#undef KAVO_STORE
}

bool IspServerMessenger::UpdateSettings(ChangeIspSettings& change) {
  takeFocusModeInForce(*settings);
  ChangeIspSettings live;
  FillSettingsMessage(live);
  return Apply(change, live);
}

// The steps run in the order in which the image controller takes them. Each step that finds its
// setting set and different logs it and takes it into `live`; the document gets `live` at the
// end. The calls into the image controller (settings mapping) go where "image:" says, outside the
// document's lock: they may wait for the lens.
bool IspServerMessenger::Apply(ChangeIspSettings& change, ChangeIspSettings& live) {
  using namespace kavo::isp;
  // Without a controller (before start-up ends, after the stop) the block and the document still
  // take the change; the next settings pass applies it.
  CIsp* isp = controller();
  ImageParameters& block = g_isp.image;
  const uint32_t wasIrOn = ipc_is_ir_on(isp);
  if (take(F::irLedMode, "irLedMode", change, live) && isp != nullptr)
    ipc_set_ir_led_mode(isp, F::irLedMode.get(live).c_str());
  if (take(F::irLedLevel, "irLedLevel", change, live) && isp != nullptr)
    ipc_set_ir_led_level(isp, F::irLedLevel.get(live));
  if (F::irLedMode.get(live) == "manual") ipc_set_ir_on(isp, F::irLedLevel.get(live) != 0 ? 1 : 0);
  if (ipc_is_ir_on(isp) != wasIrOn && isp != nullptr) ipc_apply_ir_state(isp, ipc_is_ir_on(isp));

  // The six attributes in the block's order: day field, night flag and value of the document.
  struct Attribute {
    const Byte* field;
    std::atomic<uint32_t>* day;
    const Byte* sts;
  };
  const Attribute attributes[6] = {{&F::brightness, &block.brightness, &F::irOnStsBrightness},
                                   {&F::contrast, &block.contrast, &F::irOnStsContrast},
                                   {&F::saturation, &block.daySaturation, &F::irOnStsSaturation},
                                   {&F::hue, &block.hue, &F::irOnStsHue},
                                   {&F::sharpness, &block.sharpness, &F::irOnStsSharpness},
                                   {&F::denoise, &block.dayNrLevel, &F::irOnStsDenoise}};
  // Puts value v of attribute a in force: a picture operation, or for denoise only the level.
  auto inForce = [&](int a, uint32_t v) {
    if (a == 5) {
      block.nrLevel.store(v);
      return;
    }
    if (a == 2) block.saturation.store(v);
    if (isp == nullptr) return;
    switch (a) {
      case 0: ipc_set_brightness(isp, v); break;
      case 1: ipc_set_contrast(isp, v); break;
      case 2: ipc_set_saturation(isp, v); break;
      case 3: ipc_set_hue(isp, v); break;
      default: ipc_set_sharpness(isp, v); break;
    }
  };
  for (int a = 0; a < 6; ++a) {
    const Attribute& at = attributes[a];
    if (!take(*at.field, at.field->key, change, live)) continue;
    const uint32_t day = at.field->get(live);
    at.day->store(day);
    if (at.sts->get(live) == 1) {
      if (ipc_is_ir_on(isp) == 0) inForce(a, day);
    } else {
      block.irOnVal[a].store(day);
      inForce(a, day);
    }
  }
  if (take(F::wdr, "wdr", change, live)) {
    block.wdrLevel.store(F::wdr.get(live));
    if (isp != nullptr) ipc_set_wdr(isp, F::wdr.get(live));
  }
  if (take(F::mirror, "mirror", change, live) && isp != nullptr) ipc_set_mirror(isp, F::mirror.get(live));
  if (take(F::flip, "flip", change, live) && isp != nullptr) ipc_set_flip(isp, F::flip.get(live));
  // The log spells one of them with a small s.
  struct IrPair {
    const Byte* field;
    const char* name;
    int attribute;
    bool sts;
  };
  const IrPair irPairs[] = {{&F::irOnValBrightness, "irOnValBrightness", 0, false},
                            {&F::irOnStsBrightness, "irOnStsBrightness", 0, true},
                            {&F::irOnValContrast, "irOnValContrast", 1, false},
                            {&F::irOnStsContrast, "irOnStsContrast", 1, true},
                            {&F::irOnValHue, "irOnValHue", 3, false},
                            {&F::irOnStsHue, "irOnStsHue", 3, true},
                            {&F::irOnValSaturation, "irOnValSaturation", 2, false},
                            {&F::irOnStsSaturation, "irOnstsSaturation", 2, true},
                            {&F::irOnValSharpness, "irOnValSharpness", 4, false},
                            {&F::irOnStsSharpness, "irOnStsSharpness", 4, true},
                            {&F::irOnValDenoise, "irOnValDenoise", 5, false},
                            {&F::irOnStsDenoise, "irOnStsDenoise", 5, true}};
  for (const IrPair& pair : irPairs) {
    if (!take(*pair.field, pair.name, change, live)) continue;
    const uint32_t v = pair.field->get(live);
    const int a = pair.attribute;
    if (!pair.sts) {
      block.irOnVal[a].store(v);
      if (ipc_is_ir_on(isp) == 1 && block.irOnSts[a].load() != 0) inForce(a, v);
    } else {
      block.irOnSts[a].store(static_cast<uint8_t>(v));
      if (ipc_is_ir_on(isp) == 1) inForce(a, v != 0 ? block.irOnVal[a].load() : attributes[a].day->load());
    }
  }
  if (take(F::aeMode, "aeMode", change, live) && isp != nullptr) ipc_set_ae_mode(isp, F::aeMode.get(live).c_str());
  if (take(F::focusMode, "focusMode", change, live) && isp != nullptr)
    ipc_set_focus_mode(isp, F::focusMode.get(live).c_str());
  // Logged focus first, applied zoom first: a focus position is a share of the range at the zoom,
  // and a zoom move takes the focus to the zoom's own.
  const bool focusMoves = take(F::focusPosition, "focusPosition", change, live) && isp != nullptr;
  if (take(F::zoomPosition, "zoomPosition", change, live) && isp != nullptr)
    ipc_set_zoom_position(isp, 0, F::zoomPosition.get(live));
  if (focusMoves) ipc_set_focus_position(isp, 0, F::focusPosition.get(live));
  StoreSettingsMessage(live);
  return true;
}

}  // namespace ispserver_messenger
}  // namespace ispserver
}  // namespace kavo

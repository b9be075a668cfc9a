#pragma once
// ChangeAnalyticsSettings: tells the analytics process ("kavo_analytics") that the picture is
// about to be mirrored or flipped. Sent by the ISP server, which fills only what changes.
//   "functionName"         always "ChangeAnalyticsSettings"
//   "responseExpected"     boolean; default true here, but normalisation runs the request envelope
//                          first (default false), so only an explicit true asks for an answer
//   "respondFullSettings"  boolean, default true
//   "incremental"          boolean, default true
//   "sendEvents", "ispFlip", "ispMirror"
//                          number, unsigned 8-bit: 0 or 1, and 2 (the default) for not set
//   "interruptTimeoutMs"   number, unsigned 16-bit, default 5000, capped at 10000
//   "zones"                an object or an array, default null
#include <cstdint>

#include "kavo/ipc/messages/baserequestmessage.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_ChangeAnalyticsSettings(FIELD, NODE)                                \
  FIELD(functionName, Choice, "ChangeAnalyticsSettings", pPossibleValues_functionName) \
  FIELD(responseExpected, Flag, true)                                                  \
  FIELD(respondFullSettings, Flag, true)                                               \
  FIELD(incremental, Flag, true)                                                       \
  FIELD(sendEvents, Incremental<uint8_t>, 2, 0, 2)                                     \
  FIELD(ispFlip, Incremental<uint8_t>, 2, 0, 2)                                        \
  FIELD(ispMirror, Incremental<uint8_t>, 2, 0, 2)                                      \
  FIELD(interruptTimeoutMs, Number<uint16_t>, 5000, 0, 10000)                          \
  FIELD(zones, Value, kavo::variant::VariantType::Container)

struct ChangeAnalyticsSettingsFields {
  static constexpr const char* pPossibleValues_functionName[] = {"ChangeAnalyticsSettings"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_ChangeAnalyticsSettings)
};

class ChangeAnalyticsSettings : public BaseRequestMessage {
  using F = ChangeAnalyticsSettingsFields;

 public:
  ChangeAnalyticsSettings() = default;
  explicit ChangeAnalyticsSettings(const BaseMessage& message) : BaseRequestMessage(message) {}
  ~ChangeAnalyticsSettings() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_ChangeAnalyticsSettings)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

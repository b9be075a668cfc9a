#pragma once
// AnalyticsInterrupt: asks the analytics process ("kavo_analytics") to pause around a change of
// the video pipeline. Sent by the encoder library (corrupt-frame recovery) and by the ISP server.
//   "functionName"        always "AnalyticsInterrupt"
//   "responseExpected"    boolean; default true here, but normalisation runs the request envelope
//                         first (default false), so only an explicit true asks for an answer
//   "sendClosure"         boolean, default true
//   "interruptTimeoutMs"  number, unsigned 16-bit, default 5000, capped at 10000
//   "reason"              string, default "unknown"
#include <cstdint>
#include <string>

#include "kavo/ipc/messages/baserequestmessage.h"

namespace kavo {
namespace ipc {
namespace messages {

struct AnalyticsInterruptFields {
  static constexpr const char* pPossibleValues_functionName[] = {"AnalyticsInterrupt"};
  static constexpr fields::Choice functionName{"functionName", "AnalyticsInterrupt", pPossibleValues_functionName};
  static constexpr fields::Flag responseExpected{"responseExpected", true};
  static constexpr fields::Flag sendClosure{"sendClosure", true};
  static constexpr fields::Number<uint16_t> interruptTimeoutMs{"interruptTimeoutMs", 5000, 0, 10000};
  static constexpr fields::Text reason{"reason", "unknown"};
};

class AnalyticsInterrupt : public BaseRequestMessage {
  using F = AnalyticsInterruptFields;

 public:
  AnalyticsInterrupt() = default;
  explicit AnalyticsInterrupt(const BaseMessage& message) : BaseRequestMessage(message) {}
  ~AnalyticsInterrupt() override;

  KAVO_FIELD(F, functionName)
  KAVO_FIELD(F, responseExpected)
  KAVO_FIELD(F, sendClosure)
  KAVO_FIELD(F, interruptTimeoutMs)
  KAVO_FIELD(F, reason)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

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

#define KAVO_FIELDS_AnalyticsInterrupt(FIELD, NODE) \
  FIELD(functionName, Choice, "AnalyticsInterrupt", pPossibleValues_functionName) \
  FIELD(responseExpected, Flag, true) \
  FIELD(sendClosure, Flag, true) \
  FIELD(interruptTimeoutMs, Number<uint16_t>, 5000, 0, 10000) \
  FIELD(reason, Text, "unknown")

struct AnalyticsInterruptFields {
  static constexpr const char* pPossibleValues_functionName[] = {"AnalyticsInterrupt"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_AnalyticsInterrupt)
};

class AnalyticsInterrupt : public BaseRequestMessage {
  using F = AnalyticsInterruptFields;

 public:
  AnalyticsInterrupt() = default;
  explicit AnalyticsInterrupt(const BaseMessage& message) : BaseRequestMessage(message) {}
  ~AnalyticsInterrupt() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_AnalyticsInterrupt)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

#pragma once
// EventStreamingStatus: sent to "kavo_avclient" on every change of a destination's state.
//   "functionName"      always "EventStreamingStatus"
//   "responseExpected"  boolean, default false
//   "previousStatus"    one of the ten destination state names, default "UNINITIALIZED"
//   "currentStatus"     the same names, default "UNINITIALIZED"
//   "channelId"         number, unsigned 8-bit, default 255; above 3 -> 3
//   "uri"               string, default ""
// Unknown state names (the "(unknown)" of a state outside the table) are stored as
// "UNINITIALIZED".
#include <cstdint>
#include <string>

#include "kavo/ipc/messages/baserequestmessage.h"

namespace kavo {
namespace ipc {
namespace messages {

struct EventStreamingStatusFields {
  static constexpr const char* pPossibleValues_functionName[] = {"EventStreamingStatus"};
  static constexpr const char* pPossibleValues_previousStatus[] = {
      "UNINITIALIZED", "WAIT",    "OPEN_FILE", "START_CONNECT", "INSPECT_CONNECTION",
      "INIT_FOR_ACCEPT", "ACCEPT", "CONNECTED", "SEND_DATA",     "IGNORE_DESTINATION"};
  static constexpr const char* const (&pPossibleValues_currentStatus)[10] = pPossibleValues_previousStatus;

  static constexpr fields::Choice functionName{"functionName", "EventStreamingStatus", pPossibleValues_functionName};
  static constexpr fields::Flag responseExpected{"responseExpected", false};
  static constexpr fields::Choice previousStatus{"previousStatus", "UNINITIALIZED", pPossibleValues_previousStatus};
  static constexpr fields::Choice currentStatus{"currentStatus", "UNINITIALIZED", pPossibleValues_currentStatus};
  static constexpr fields::Number<uint8_t> channelId{"channelId", 255, 0, 3};
  static constexpr fields::Text uri{"uri", ""};
};

class EventStreamingStatus : public BaseRequestMessage {
  using F = EventStreamingStatusFields;

 public:
  EventStreamingStatus() = default;
  explicit EventStreamingStatus(const BaseMessage& message) : BaseRequestMessage(message) {}
  ~EventStreamingStatus() override;

  KAVO_FIELD(F, functionName)
  KAVO_FIELD(F, responseExpected)
  KAVO_FIELD(F, previousStatus)
  KAVO_FIELD(F, currentStatus)
  KAVO_FIELD(F, channelId)
  KAVO_FIELD(F, uri)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

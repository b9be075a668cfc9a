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

#define KAVO_FIELDS_EventStreamingStatus(FIELD, NODE) \
  FIELD(functionName, Choice, "EventStreamingStatus", pPossibleValues_functionName) \
  FIELD(responseExpected, Flag, false) \
  FIELD(previousStatus, Choice, "UNINITIALIZED", pPossibleValues_previousStatus) \
  FIELD(currentStatus, Choice, "UNINITIALIZED", pPossibleValues_currentStatus) \
  FIELD(channelId, Number<uint8_t>, 255, 0, 3) \
  FIELD(uri, Text, "")

struct EventStreamingStatusFields {
  static constexpr const char* pPossibleValues_functionName[] = {"EventStreamingStatus"};
  static constexpr const char* pPossibleValues_previousStatus[] = {
      "UNINITIALIZED", "WAIT",    "OPEN_FILE", "START_CONNECT", "INSPECT_CONNECTION",
      "INIT_FOR_ACCEPT", "ACCEPT", "CONNECTED", "SEND_DATA",     "IGNORE_DESTINATION"};
  static constexpr const char* const (&pPossibleValues_currentStatus)[10] = pPossibleValues_previousStatus;

  KAVO_FIELD_TABLE(KAVO_FIELDS_EventStreamingStatus)
};

class EventStreamingStatus : public BaseRequestMessage {
  using F = EventStreamingStatusFields;

 public:
  EventStreamingStatus() = default;
  explicit EventStreamingStatus(const BaseMessage& message) : BaseRequestMessage(message) {}
  ~EventStreamingStatus() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_EventStreamingStatus)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

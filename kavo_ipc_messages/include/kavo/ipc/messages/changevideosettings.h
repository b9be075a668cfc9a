#pragma once
// ChangeVideoSettings: the request "ChangeVideoSettings", an incremental change of the running
// encoder.
//   "functionName"      a present string is read as it stands; the setter (and so
//                       normalisation) always stores "ChangeVideoSettings"
//   "responseExpected"  boolean; this getter's default is true, but normalisation runs the
//                       request envelope first (default false), so a request without the key
//                       ends as not expecting an answer
//   "audio"             map, an AudioSettings document
//   "video"             map, a VideoSettings document
#include "kavo/ipc/messages/audiosettings.h"
#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/videosettings.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_ChangeVideoSettings(FIELD, NODE) \
  FIELD(functionName, Choice, "ChangeVideoSettings", pPossibleValues_functionName) \
  FIELD(responseExpected, Flag, true) \
  NODE(audio, AudioSettingsT) \
  NODE(video, VideoSettingsT)

struct ChangeVideoSettingsFields {
  static constexpr const char* pPossibleValues_functionName[] = {"ChangeVideoSettings"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_ChangeVideoSettings)
};

class ChangeVideoSettings : public BaseRequestMessage {
  using F = ChangeVideoSettingsFields;

 public:
  ChangeVideoSettings() = default;
  // A copy of the whole document of any message.
  explicit ChangeVideoSettings(const BaseMessage& message) : BaseRequestMessage(message) {}
  ~ChangeVideoSettings() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_ChangeVideoSettings)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

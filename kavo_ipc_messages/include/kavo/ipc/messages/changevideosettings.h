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

struct ChangeVideoSettingsFields {
  static constexpr const char* pPossibleValues_functionName[] = {"ChangeVideoSettings"};
  static constexpr fields::Choice functionName{"functionName", "ChangeVideoSettings", pPossibleValues_functionName};
  static constexpr fields::Flag responseExpected{"responseExpected", true};
  static constexpr fields::Section<AudioSettingsT> audio{"audio"};
  static constexpr fields::Section<VideoSettingsT> video{"video"};
};

class ChangeVideoSettings : public BaseRequestMessage {
  using F = ChangeVideoSettingsFields;

 public:
  ChangeVideoSettings() = default;
  // A copy of the whole document of any message.
  explicit ChangeVideoSettings(const BaseMessage& message) : BaseRequestMessage(message) {}
  ~ChangeVideoSettings() override;

  KAVO_FIELD(F, functionName)
  KAVO_FIELD(F, responseExpected)
  KAVO_NODE(F, audio)
  KAVO_NODE(F, video)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

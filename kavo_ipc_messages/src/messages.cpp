// The per-function request classes. Each runs the request envelope's normalisation first, so a
// missing "responseExpected" is already false when the class's own field is read.
#include "kavo/ipc/messages/analyticsinterrupt.h"
#include "kavo/ipc/messages/changeanalyticssettings.h"
#include "kavo/ipc/messages/changeispsettings.h"
#include "kavo/ipc/messages/changevideosettings.h"
#include "kavo/ipc/messages/eventstreamingstatus.h"
#include "kavo/ipc/messages/audiosettings.h"
#include "kavo/ipc/messages/avserializer.h"
#include "kavo/ipc/messages/videosettings.h"

namespace kavo {
namespace ipc {
namespace messages {

template class AVSerializerT<fields::Document>;
template class AVSerializerT<fields::Node>;
template class AudioSettingsT<fields::Document>;
template class AudioSettingsT<fields::Node>;
template class VideoSettingsElementT<fields::Document>;
template class VideoSettingsElementT<fields::Node>;
template class VideoSettingsT<fields::Document>;
template class VideoSettingsT<fields::Node>;

EventStreamingStatus::~EventStreamingStatus() = default;

void EventStreamingStatus::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  F::normalize(document());
}

ChangeVideoSettings::~ChangeVideoSettings() = default;

void ChangeVideoSettings::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  F::normalize(document());
}

AnalyticsInterrupt::~AnalyticsInterrupt() = default;

void AnalyticsInterrupt::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  F::normalize(document());
}

ChangeIspSettings::~ChangeIspSettings() = default;

void ChangeIspSettings::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  F::normalize(document());
}

ChangeAnalyticsSettings::~ChangeAnalyticsSettings() = default;

void ChangeAnalyticsSettings::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  F::normalize(document());
}

}  // namespace messages
}  // namespace ipc
}  // namespace kavo

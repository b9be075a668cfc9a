#include "kavo/encoder/flvcontainer.h"

#include "kavo/utils/strings.h"
#include "kavo/variant_utils/camerainfo.h"
#include "kavo/variant_utils/uri.h"
#include "encoderlog.h"

namespace kavo {
namespace encoder {

using kavo::variant::Variant;

namespace {

const char kDevNull[] = "file:///dev/null";

// The destinations node as an array (a map keeps its numeric keys, anything else is empty).
Variant destinationList(kavo::ipc::messages::AVSerializer& serializer) {
  Variant list = serializer.destinations();
  list.IsArray(true);
  return list;
}

bool onlyDevNull(const Variant& list) {
  return list.Size() == 1 && list.num_begin()->second == kDevNull;
}

std::string elementText(const Variant& element) { return element.IsString() ? element.AsString() : element.ToString(); }

}  // namespace

FLVContainer::FLVContainer(Encoder* owner) : BaseContainer(CONTAINER_FLV, owner) {}

FLVContainer::~FLVContainer() { Close(); }

int64_t FLVContainer::VideoTimestamp(uint64_t pts) {
  // Rounded to the nearest millisecond without forming pts + 500000, which could wrap.
  return static_cast<int64_t>(pts / 1000000u + (pts % 1000000u >= 500000u ? 1u : 0u));
}

int64_t FLVContainer::AudioTimestamp(const audio_frame_t& frame) {
  const int64_t rate = frame.sampleRate;
  if (rate == 0) return frame.timeBase;
  return frame.timeBase + (frame.sampleCount * 1000 + rate / 2) / rate;
}

void FLVContainer::Close() {
  for (auto& slot : destinations) {
    delete slot;
    slot = nullptr;
  }
  acceptor = nullptr;
  destinationCount = 0;
  avSerializer = kavo::ipc::messages::AVSerializer();
  active = false;
}

bool FLVContainer::Open(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) {
  // The destinations in force: those that the new list names again go on with their file or
  // connection, so a change that repeats them does not start their recordings over; the others
  // are closed once the new list is built.
  FLVDestiantion* before[kMaxDestinations];
  FLVDestiantion* const liveView = acceptor;
  for (uint32_t i = 0; i < kMaxDestinations; i++) {
    before[i] = destinations[i];
    destinations[i] = nullptr;
  }
  acceptor = nullptr;
  destinationCount = 0;
  Close();
  const bool opened = OpenList(serializer, info, before, liveView);
  // The live-view acceptor is no entry of the list: it stays while the stream is on and has room.
  if (liveView != nullptr && opened && active && destinationCount < kMaxDestinations) {
    for (FLVDestiantion*& slot : before)
      if (slot == liveView) slot = nullptr;
    acceptor = liveView;
    destinations[destinationCount++] = liveView;
  }
  for (FLVDestiantion* left : before) delete left;
  return opened;
}

bool FLVContainer::OpenList(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info,
                            FLVDestiantion* (&before)[kMaxDestinations], const FLVDestiantion* liveView) {
  avSerializer = serializer;
  avSerializer.NormalizeFields();
  streamInfo = info;

  const Variant list = destinationList(avSerializer);
  if (onlyDevNull(list)) {
    active = false;
    return true;
  }
  active = true;

  std::string name = avSerializer.streamName();
  kavo::utils::trim(name);
  if (name.empty()) {
    kavo::variant::CameraInfo camera;
    if (!camera.Init()) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to initialize camera information");
      return false;
    }
    name = kavo::utils::format("%s_%u", camera.hwaddr().c_str(), streamInfo.channelId());
    avSerializer.streamName(name);
  }
  streamInfo.streamName(name);

  bool refused = false;
  for (auto it = list.num_begin(); it != list.num_end(); ++it) {
    const Variant& element = it->second;
    kavo::variant::URI uri;
    std::string schema;
    if (element.IsString() && kavo::variant::URI::FromString(element.AsString(), false, uri)) schema = uri.schema();
    if (schema != "tcp" && schema != "file") {
      const std::string text = elementText(element);
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid destination: %s", text.c_str());
      return false;
    }
    if (element == kDevNull) {
      ENC_LOG(LOG_LEVEL_WARNING, 0, "destination node containing /dev/null and other entries as well");
      continue;
    }
    if (destinationCount == kMaxDestinations) {
      // Once per list: the rest is still checked, and left out.
      if (!refused) ENC_LOG(LOG_LEVEL_ERROR, 0, "Too many destinations");
      refused = true;
      continue;
    }
    streamInfo.uri(element.AsString());
    FLVDestiantion* destination = nullptr;
    for (FLVDestiantion*& slot : before) {
      if (slot != nullptr && slot != liveView && slot->GetUri() == element.AsString()) {
        destination = slot;
        slot = nullptr;
        destination->UpdateStreamInfo(streamInfo);
        break;
      }
    }
    destinations[destinationCount++] = destination != nullptr ? destination : new FLVDestiantion(streamInfo, encoder);
  }
  return destinationCount != 0;
}

bool FLVContainer::UpdateSettings(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) {
  return Open(serializer, info);
}

bool FLVContainer::WriteVideoFrame(const video_frame_t* frame, unsigned char& congestion) {
  congestion = 0;
  if (!active || frame == nullptr) return true;
  const int64_t timestamp = VideoTimestamp(frame->desc.pts);
  for (uint32_t i = 0; i < destinationCount; i++) {
    if (destinations[i] == nullptr) continue;
    unsigned char level = 0;
    destinations[i]->WriteVideoFrame(frame, timestamp, level);
    if (level > congestion) congestion = level;
  }
  return true;
}

bool FLVContainer::WriteAudioFrame(const audio_frame_t* frame, unsigned char& congestion) {
  congestion = 0;
  if (!active || frame == nullptr) return true;
  if (frame->sampleRate == 0) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Audio frame without a sample rate refused");
    return true;
  }
  const int64_t timestamp = AudioTimestamp(*frame);
  for (uint32_t i = 0; i < destinationCount; i++) {
    if (destinations[i] == nullptr) continue;
    unsigned char level = 0;
    destinations[i]->WriteAudioFrame(frame, timestamp, level);
    if (level > congestion) congestion = level;
  }
  return true;
}

bool FLVContainer::SignalCodecsChanged() {
  for (uint32_t i = 0; i < destinationCount; i++)
    if (destinations[i] != nullptr && !destinations[i]->SignalCodecsChanged()) return false;
  return true;
}

bool FLVContainer::IsNetworkActive() {
  if (!active) return false;
  for (FLVDestiantion* destination : destinations)
    if (destination != nullptr && destination->IsConnected()) return true;
  return false;
}

bool FLVContainer::ActivateAcceptor(unsigned short& port) {
  port = 0;
  if (acceptor != nullptr) {
    port = acceptor->GetAcceptorPort();
    return port != 0;
  }
  if (destinationCount >= kMaxDestinations) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Too many destinations");
    return false;
  }
  StreamInfo info(streamInfo);
  info.uri("tcp://0.0.0.0:1?acceptor&randomPort");
  info.streamName("");
  info.channelId(0);
  acceptor = new FLVDestiantion(info, encoder);
  unsigned char level = 0;
  acceptor->Write(nullptr, 0, 0, level);
  port = acceptor->GetAcceptorPort();
  if (port != 0) {
    destinations[destinationCount++] = acceptor;
    active = true;
    return true;
  }
  ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to initialize FLV acceptor");
  delete acceptor;
  acceptor = nullptr;
  return false;
}

}  // namespace encoder
}  // namespace kavo

#pragma once
// BaseContainer: turns the encoded frames of one video stream (and the encoded audio) into
// output, and reports a congestion level (0..100) for the bitrate adaptation.
//
//   BaseContainer* c = BaseContainer::GetInstance(serializer, info, encoder);  // null: logged
//   c->WriteVideoFrame(frame, level);  // per frame; never fails
//   delete c;
//
// Two kinds: FLVContainer ("flv": up to three FLV destinations and the live-view acceptor) and
// MJPGContainer ("mjpg": every picture as a whole file). An inactive container (after
// construction, after Close(), or switched off by the single destination "file:///dev/null")
// accepts frames and drops them. The encoder pointer may be null (no audio).
#include <cstdint>

#include "kavo/encoder/frames.h"
#include "kavo/encoder/streaminfo.h"
#include "kavo/ipc/messages/avserializer.h"

namespace kavo {
namespace encoder {

class Encoder;

enum ContainerType {
  CONTAINER_FLV = 0,
  CONTAINER_MJPG = 1,
};

class BaseContainer {
 public:
  // Destinations of one container (the live-view acceptor included); entries beyond are logged
  // ("Too many destinations") and left out, so one request cannot multiply the work per frame.
  static constexpr uint32_t kMaxDestinations = 3;

  BaseContainer(ContainerType type, Encoder* encoder);
  virtual ~BaseContainer();
  BaseContainer(const BaseContainer&) = delete;
  BaseContainer& operator=(const BaseContainer&) = delete;

  // Builds the container from the serializer node; always starts with Close().
  virtual bool Open(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) = 0;
  virtual void Close() = 0;
  // Open() again with the new node.
  virtual bool UpdateSettings(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) = 0;
  virtual bool WriteAudioFrame(const audio_frame_t* frame, unsigned char& congestion) = 0;
  virtual bool WriteVideoFrame(const video_frame_t* frame, unsigned char& congestion) = 0;
  // After a change of the stream's frame rate: the next key frames are checked for new
  // parameter sets.
  virtual bool SignalCodecsChanged() = 0;
  // True when a destination is connected (files count as well).
  virtual bool IsNetworkActive() = 0;

  ContainerType GetType() const { return type; }
  bool IsActive() const { return active; }

  // "type" "flv" or "mjpg", opened; null (logged) for another type or a failed Open.
  static BaseContainer* GetInstance(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info,
                                    Encoder* encoder);

 protected:
  bool active = false;
  ContainerType type;
  Encoder* encoder;
};

}  // namespace encoder
}  // namespace kavo

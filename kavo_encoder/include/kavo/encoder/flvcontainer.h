#pragma once
// FLVContainer: fans every frame of one stream out to at most three FLV destinations (files,
// TCP peers it connects to, TCP peers it accepts, the live-view acceptor included).
//
// Open() takes the serializer's "destinations" (URI strings of schema "tcp" or "file"), fills an
// empty "streamName" with "<hardware address>_<channelId>" and creates one FLVDestiantion per
// entry; nothing connects before the first frame. Opened again (UpdateSettings), it keeps the
// destinations that the new list names again, and the live-view acceptor while there is room,
// with their files and connections; only the others are closed. Entries beyond the three slots are logged
// ("Too many destinations") and left out. The congestion level of a frame is the highest of its
// destinations, so a live viewer or a file never hides a slow TCP peer.
#include <cstdint>

#include "kavo/encoder/basecontainer.h"
#include "kavo/encoder/flvdestination.h"

namespace kavo {
namespace encoder {

class FLVContainer : public BaseContainer {
 public:
  explicit FLVContainer(Encoder* encoder);
  ~FLVContainer() override;

  bool Open(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) override;
  void Close() override;
  bool UpdateSettings(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) override;
  bool WriteAudioFrame(const audio_frame_t* frame, unsigned char& congestion) override;
  bool WriteVideoFrame(const video_frame_t* frame, unsigned char& congestion) override;
  bool SignalCodecsChanged() override;
  bool IsNetworkActive() override;

  // Adds the live-view acceptor (a TCP listener on a port the system picks) or reports the one
  // there is: true with its port while it waits for a viewer; false with port 0 while a viewer
  // is connected, when the slots are full or when it cannot listen.
  bool ActivateAcceptor(unsigned short& port);

  // ---- state, for tests ---------------------------------------------------------------------
  uint32_t GetDestinationCount() const { return destinationCount; }
  FLVDestiantion* GetDestination(uint32_t slot) const { return slot < kMaxDestinations ? destinations[slot] : nullptr; }
  FLVDestiantion* GetAcceptor() const { return acceptor; }
  const StreamInfo& GetStreamInfo() const { return streamInfo; }

  // Milliseconds of a video pts (ns) and of an audio frame's sample position.
  static int64_t VideoTimestamp(uint64_t pts);
  static int64_t AudioTimestamp(const audio_frame_t& frame);

 private:
  // Open() after the destinations in force were taken into `before`: those that the list names
  // again (the live-view acceptor never) are moved from there into the new table.
  bool OpenList(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info,
                FLVDestiantion* (&before)[kMaxDestinations], const FLVDestiantion* liveView);

  kavo::ipc::messages::AVSerializer avSerializer;
  StreamInfo streamInfo;
  FLVDestiantion* destinations[kMaxDestinations] = {nullptr, nullptr, nullptr};
  FLVDestiantion* acceptor = nullptr;
  uint32_t destinationCount = 0;
};

}  // namespace encoder
}  // namespace kavo

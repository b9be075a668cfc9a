#pragma once
// StreamInfo: the description of one encoded stream that the video encoder hands to a container
// and the container to each of its destinations (one copy per destination, with its "uri").
//   "channelId"       unsigned 32-bit  the stream's ordinal (0..3)
//   "width", "height" unsigned 32-bit  picture size
//   "fps"             unsigned 8-bit   the stream's frame rate setting
//   "videoBandwidth"  unsigned 32-bit  the stream's bitRateVbrMax
//   "streamName"      string           the name on the wire
//   "uri"             string           the one destination URI of this copy
// The keys have no defaults: the library sets them before any destination runs. The const
// getters therefore require their key and end the process (after a level-3 log) when it is
// missing or of another kind, which only a programming error can cause. NormalizeFields() only
// makes the root a map.
#include <cstdint>
#include <string>

#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace encoder {

struct StreamInfoFields {
  using U32 = kavo::ipc::messages::fields::Number<uint32_t>;
  using Text = kavo::ipc::messages::fields::Text;
  static constexpr U32 channelId{"channelId", 0};
  static constexpr U32 width{"width", 0};
  static constexpr U32 height{"height", 0};
  static constexpr kavo::ipc::messages::fields::Number<uint8_t> fps{"fps", 0};
  static constexpr U32 videoBandwidth{"videoBandwidth", 0};
  static constexpr Text streamName{"streamName", ""};
  static constexpr Text uri{"uri", ""};
};

class StreamInfo : public kavo::ipc::messages::fields::Document {
  using F = StreamInfoFields;

 public:
  StreamInfo() = default;
  explicit StreamInfo(const kavo::variant::Variant& value) : Document(value) {}
  StreamInfo(const StreamInfo&) = default;
  StreamInfo& operator=(const StreamInfo&) = default;
  ~StreamInfo() override;

  void channelId(unsigned int value) { F::channelId.set(document(), value); }
  void uri(const std::string& value) { F::uri.set(document(), value); }
  void streamName(const std::string& value) { F::streamName.set(document(), value); }
  void width(unsigned int value) { F::width.set(document(), value); }
  void height(unsigned int value) { F::height.set(document(), value); }
  void fps(unsigned char value) { F::fps.set(document(), value); }
  void videoBandwidth(unsigned int value) { F::videoBandwidth.set(document(), value); }

  // Read without changing the document; a missing or mistyped key ends the process.
  unsigned int channelId() const;
  std::string uri() const;

  void NormalizeFields() override;
};

}  // namespace encoder
}  // namespace kavo

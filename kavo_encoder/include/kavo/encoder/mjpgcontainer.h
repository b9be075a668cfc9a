#pragma once
// MJPGContainer: writes every JPEG picture of its stream as a whole file. Each picture goes to
// "<path>.tmp" first (straight from the driver's ring, in one or two pieces) and a rename then
// moves it onto the path, so a reader of the path always finds a complete picture. At most
// kMaxDestinations files, as for FLV.
#include <sys/uio.h>

#include <string>
#include <utility>
#include <vector>

#include "kavo/encoder/basecontainer.h"

namespace kavo {
namespace encoder {

class MJPGContainer : public BaseContainer {
 public:
  explicit MJPGContainer(Encoder* encoder);
  ~MJPGContainer() override;

  bool Open(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) override;
  void Close() override;
  bool UpdateSettings(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) override;
  bool WriteAudioFrame(const audio_frame_t* frame, unsigned char& congestion) override;
  bool WriteVideoFrame(const video_frame_t* frame, unsigned char& congestion) override;
  bool SignalCodecsChanged() override;
  bool IsNetworkActive() override;

  // (target path, temporary path) per accepted destination, as given (the camera's paths).
  const std::vector<std::pair<std::string, std::string>>& GetFiles() const { return files; }

 private:
  bool AddDestination(const kavo::variant::Variant& element);

  kavo::ipc::messages::AVSerializer avSerializer;
  // Real paths (under the test root when one is set) of each pair, kept beside the camera's.
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::pair<std::string, std::string>> realFiles;
  struct iovec iov[2] = {};
};

}  // namespace encoder
}  // namespace kavo

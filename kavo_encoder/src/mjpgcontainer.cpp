#include "kavo/encoder/mjpgcontainer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kavo/os/path.h"
#include "kavo/variant_utils/uri.h"
#include "encoderlog.h"

namespace kavo {
namespace encoder {

using kavo::variant::Variant;

namespace {

const char kDevNull[] = "file:///dev/null";

// Writes all `total` bytes of the vectors (a regular file may take them in several calls).
bool writeAll(int fd, struct iovec* iov, int count, size_t total) {
  struct iovec rest[2];
  int n = count;
  for (int i = 0; i < count; i++) rest[i] = iov[i];
  struct iovec* at = rest;
  size_t done = 0;
  while (done < total) {
    const ssize_t written = writev(fd, at, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(written);
    size_t skip = static_cast<size_t>(written);
    while (n > 0 && skip >= at->iov_len) {
      skip -= at->iov_len;
      at++;
      n--;
    }
    if (n > 0) {
      at->iov_base = static_cast<uint8_t*>(at->iov_base) + skip;
      at->iov_len -= skip;
    }
  }
  return true;
}

}  // namespace

MJPGContainer::MJPGContainer(Encoder* owner) : BaseContainer(CONTAINER_MJPG, owner) {}

MJPGContainer::~MJPGContainer() { Close(); }

void MJPGContainer::Close() {
  avSerializer = kavo::ipc::messages::AVSerializer();
  files.clear();
  realFiles.clear();
  active = false;
}

bool MJPGContainer::Open(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo&) {
  Close();
  avSerializer = serializer;
  avSerializer.NormalizeFields();
  Variant list = avSerializer.destinations();
  list.IsArray(true);
  if (list.Size() == 1 && list.num_begin()->second == kDevNull) {
    active = false;
    return true;
  }
  active = true;
  for (auto it = list.num_begin(); it != list.num_end(); ++it) {
    if (files.size() == kMaxDestinations) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Too many destinations");
      break;
    }
    if (!AddDestination(it->second)) {
      const std::string text = it->second.IsString() ? it->second.AsString() : it->second.ToString();
      ENC_LOG(LOG_LEVEL_WARNING, 0, "Invalid destination detected: %s", text.c_str());
    }
  }
  return !files.empty();
}

bool MJPGContainer::AddDestination(const Variant& element) {
  if (!element.IsString()) {
    const std::string text = element.ToString();
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid destination: %s", text.c_str());
    return false;
  }
  const std::string& text = element.AsString();
  if (text == kDevNull) {
    ENC_LOG(LOG_LEVEL_WARNING, 0, "destination node containing /dev/null and other entries as well");
    return true;
  }
  kavo::variant::URI uri;
  if (!kavo::variant::URI::FromString(text, true, uri)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to parse URI: %s", text.c_str());
    return false;
  }
  const std::string schema = uri.schema();
  if (schema != "file") {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "FLV doesn't support schema %s://", schema.c_str());
    return false;
  }
  const std::string path = uri.fullDocumentPath();
  files.emplace_back(path, path + ".tmp");
  realFiles.emplace_back(kavo::os::path(path), kavo::os::path(path + ".tmp"));
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "MJPG scheduled to `%s` file", path.c_str());
  return true;
}

bool MJPGContainer::UpdateSettings(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info) {
  return Open(serializer, info);
}

bool MJPGContainer::WriteAudioFrame(const audio_frame_t*, unsigned char& congestion) {
  congestion = 0;
  return true;
}

bool MJPGContainer::WriteVideoFrame(const video_frame_t* frame, unsigned char& congestion) {
  congestion = 0;
  if (!active || frame == nullptr) return true;
  if (frame->ringBase == nullptr || frame->frameSize > frame->ringSize) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid picture: %u bytes in a ring of %u", frame->frameSize, frame->ringSize);
    return true;
  }
  int count = 1;
  iov[0] = {const_cast<uint8_t*>(frame->firstPiece()), frame->firstPieceSize()};
  if (frame->secondPieceSize() != 0) {
    iov[1] = {const_cast<uint8_t*>(frame->secondPiece()), frame->secondPieceSize()};
    count = 2;
  }
  for (size_t i = 0; i < realFiles.size(); i++) {
    const std::string& target = realFiles[i].first;
    const std::string& temporary = realFiles[i].second;
    const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = fd >= 0 && writeAll(fd, iov, count, frame->frameSize);
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (ok) ok = rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok)
      ENC_LOG(LOG_LEVEL_WARNING, errno, "Unable to produce mjpg: `%s` -> `%s`", files[i].second.c_str(),
              files[i].first.c_str());
  }
  return true;
}

bool MJPGContainer::SignalCodecsChanged() { return true; }

bool MJPGContainer::IsNetworkActive() { return false; }

}  // namespace encoder
}  // namespace kavo

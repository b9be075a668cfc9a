// The ME1 buffers: small luma pictures of the source buffers that the DSP keeps for motion
// analysis, read in place by the analytics readers through their DSP memory mapping.
//
// Each source buffer's picture is half its size each way, in a ring of kMe1Slots pictures: input
// frame n lies in slot n % kMe1Slots, so a picture handed out stays put for the next two frames
// whoever renders the later ones. A process renders the newest finished frame into its slot when it
// is first asked for it; every process draws the same picture from the shared state.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

namespace {

// Rows wider than the picture, as the DSP's memory lays them out.
uint32_t me1Pitch(uint32_t width) { return ((width + 63u) & ~63u) + 64u; }

}  // namespace

bool Sim::me1Geometry(uint32_t id, Me1Geometry& g) const {
  const auto& f = st_->bufferFormats;
  uint32_t w = 0, h = 0;
  if (id == 0) {
    w = f.main_width;
    h = f.main_height;
  } else {
    const iav_sub_buffer_format_t* subs[3] = {&f.second, &f.third, &f.fourth};
    const uint32_t used[3] = {st_->bufferTypes.second_buffer_type, st_->bufferTypes.third_buffer_type,
                              st_->bufferTypes.fourth_buffer_type};
    if (!used[id - 1]) return false;
    w = subs[id - 1]->width;
    h = subs[id - 1]->height;
  }
  g.width = (w / 2) & ~1u;
  g.height = (h / 2) & ~1u;
  if (!st_->buffersSet || g.width == 0 || g.height == 0) return false;
  g.pitch = me1Pitch(g.width);
  // Buffers follow each other, each with its ring of slots, sized from the buffers as they are now.
  uint64_t offset = 0;
  for (uint32_t k = 0; k < id; ++k) {
    Me1Geometry before;
    if (me1Geometry(k, before)) offset += static_cast<uint64_t>(before.pitch) * before.height * kMe1Slots;
  }
  g.offset = offset;
  g.slotBytes = static_cast<uint64_t>(g.pitch) * g.height;
  return offset + g.slotBytes * kMe1Slots <= st_->dspMemSize;
}

int Sim::queryMe1(Call& c) {
  auto& r = *argPtr<iav_me1_buffer_info_t>(c);
  const uint32_t id = r.buffer_id;
  c.line.object("arg").unum("buffer", id);
  if (st_->dspState != IAV_STATE_PREVIEW && st_->dspState != IAV_STATE_ENCODING) {
    c.line.close();
    return -EPERM;
  }
  Me1Geometry g;
  if (id > 3 || !me1Geometry(id, g)) {
    c.line.close();
    return -EINVAL;
  }
  const uint64_t capturing = captureFrame();
  if (capturing == 0) {
    c.line.close();
    return -EAGAIN;
  }
  const uint64_t frame = capturing - 1;  // the newest finished input frame
  if (dspMem_ == nullptr) {
    int fd = ::open(dspFile().c_str(), O_RDWR | O_CLOEXEC);
    void* m = fd < 0 ? MAP_FAILED : ::mmap(nullptr, st_->dspMemSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (fd >= 0) ::close(fd);
    if (m == MAP_FAILED) {
      c.line.close();
      return -EIO;
    }
    dspMem_ = static_cast<uint8_t*>(m);
    dspMemLen_ = st_->dspMemSize;
  }
  const uint32_t slot = static_cast<uint32_t>(frame % kMe1Slots);
  Me1Ring& ring = me1_[id];
  const uint64_t at = g.offset + g.slotBytes * slot;
  if (ring.frame[slot] != frame + 1 || ring.width != g.width || ring.height != g.height) {
    if (ring.width != g.width || ring.height != g.height) {
      ring.renderer.configure(static_cast<int>(g.width), static_cast<int>(g.height));
      ring.planes.assign(static_cast<size_t>(g.width) * g.height * 3 / 2, 0);
      ring.width = g.width;
      ring.height = g.height;
      std::fill(std::begin(ring.frame), std::end(ring.frame), 0);
    }
    refreshCamera();
    camera_.view(*st_, frame, vinTime(frame), me1View_);
    uint8_t* y = ring.planes.data();
    uint8_t* u = y + static_cast<size_t>(g.width) * g.height;
    uint8_t* v = u + static_cast<size_t>(g.width / 2) * (g.height / 2);
    ring.renderer.render(me1View_, static_cast<uint32_t>(frame), false, false, maskView(g.width, g.height), y, u, v);
    for (uint32_t row = 0; row < g.height; ++row)
      std::memcpy(dspMem_ + at + static_cast<uint64_t>(row) * g.pitch, y + static_cast<size_t>(row) * g.width,
                  g.width);
    ring.frame[slot] = frame + 1;
  }
  r.offset = static_cast<uint32_t>(at);
  r.width = static_cast<uint16_t>(g.width);
  r.height = static_cast<uint16_t>(g.height);
  r.pitch = static_cast<uint16_t>(g.pitch);
  r.seq_num = static_cast<uint32_t>(frame);
  r.pts = vinTime(frame);
  c.line.unum("width", g.width).unum("height", g.height).unum("pitch", g.pitch).unum("seq", frame).close();
  return 0;
}

void Sim::unmapMe1() {
  if (dspMem_ != nullptr) ::munmap(dspMem_, dspMemLen_);
  dspMem_ = nullptr;
  dspMemLen_ = 0;
  for (auto& ring : me1_) {
    ring.width = ring.height = 0;
    std::fill(std::begin(ring.frame), std::end(ring.frame), 0);
  }
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo

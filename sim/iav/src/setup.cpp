// The DSP's state, microcode, video input and output, and the pipeline set-up requests.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

// ---- DSP and microcode --------------------------------------------------------------------------

int Sim::getChipId(Call& c) {
  *argPtr<int32_t>(c) = st_->chipId;
  c.line.object("arg").num("chipId", st_->chipId).close();
  return 0;
}

int Sim::getState(Call& c) {
  *argPtr<uint32_t>(c) = st_->dspState;
  c.line.object("arg").unum("state", st_->dspState).close();
  return 0;
}

void Sim::stopAll() {
  for (auto& s : st_->streams) s.encoding = 0;
}

int Sim::enterIdle(Call& c) {
  c.line.object("arg").unum("value", c.arg).close();
  if (!st_->ucodeRunning) return -EPERM;
  stopAll();
  st_->dspState = IAV_STATE_IDLE;
  return 0;
}

int Sim::voutSinkNum(Call& c) {
  *argPtr<int32_t>(c) = static_cast<int32_t>(st_->sinkCount);
  c.line.object("arg").unum("count", st_->sinkCount).close();
  return 0;
}

int Sim::voutSinkInfo(Call& c) {
  auto* rec = argPtr<iav_vout_sink_info_t>(c);
  const int32_t id = rec->id;
  c.line.object("arg").num("id", id);
  if (id < 0 || static_cast<uint32_t>(id) >= st_->sinkCount) {
    c.line.close();
    return -EINVAL;
  }
  const Sink& k = st_->sinks[id];
  std::memset(rec, 0, sizeof *rec);
  rec->id = id;
  rec->source_id = k.sourceId;
  std::memcpy(rec->name, k.name, sizeof rec->name);
  rec->name[sizeof rec->name - 1] = 0;
  rec->sink_type = k.type;
  rec->state = k.state;
  c.line.str("name", rec->name).num("type", k.type).close();
  return 0;
}

int Sim::ucodeVersion(Call& c) {
  auto* v = argPtr<iav_ucode_version_t>(c);
  if (st_->ucodeRunning)
    *v = st_->bootVersion;
  else
    std::memset(v, 0, sizeof *v);
  c.line.object("arg").unum("major", v->major_version).unum("minor", v->minor_version).close();
  return 0;
}

int Sim::ucodeInfo(Call& c) {
  *argPtr<iav_ucode_load_info_t>(c) = st_->ucodeLayout;
  c.line.object("arg").unum("mapSize", st_->ucodeLayout.map_size).unum("modules", st_->ucodeLayout.nr_item).close();
  return 0;
}

int Sim::ucodeUpdate(Call& c) {
  c.line.object("arg").unum("value", c.arg);
  if (anyEncoding()) {
    c.line.close();
    return -EBUSY;
  }
  // The DSP boots only when every module carries its header at its offset.
  bool good = st_->ucodeLayout.nr_item > 0;
  for (uint32_t i = 0; i < st_->ucodeLayout.nr_item && i < 4; ++i) {
    unsigned char head[16] = {};
    uint32_t index = ~0u;
    if (::pread(c.fd, head, sizeof head, st_->ucodeLayout.items[i].offset) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head, kFirmwareMagic, sizeof kFirmwareMagic) != 0)
      good = false;
    std::memcpy(&index, head + 8, 4);
    if (index != i) good = false;
  }
  c.line.boolean("booted", good).close();
  st_->ucodeRunning = good ? 1 : 0;
  stopAll();
  st_->dspState = good ? IAV_STATE_IDLE : IAV_STATE_INIT;
  return 0;
}

int mapForCaller(Call& c, const std::string& file, uint32_t length, int prot, uint8_t** at, uint32_t* atLen) {
  auto* rec = argPtr<iav_mmap_info_t>(c);
  if (*at == nullptr) {
    int fd = ::open(file.c_str(), ((prot & PROT_WRITE) ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    void* m = fd < 0 ? MAP_FAILED : ::mmap(nullptr, length, prot, MAP_SHARED, fd, 0);
    if (fd >= 0) ::close(fd);
    if (m == MAP_FAILED) return -ENOMEM;
    *at = static_cast<uint8_t*>(m);
    *atLen = length;
  }
  rec->addr = *at;
  rec->length = *atLen;
  c.line.object("arg").unum("length", rec->length).close();
  return 0;
}

int Sim::mapBsb(Call& c) { return mapForCaller(c, ringFile(), ringLen_, PROT_READ, &c.file.bsb, &c.file.bsbLen); }

int Sim::mapDsp(Call& c) {
  return mapForCaller(c, dspFile(), st_->dspMemSize, PROT_READ, &c.file.dsp, &c.file.dspLen);
}

// ---- video input and output ---------------------------------------------------------------------

int Sim::vinSourceNum(Call& c) {
  *argPtr<int32_t>(c) = static_cast<int32_t>(st_->sourceCount);
  c.line.object("arg").unum("count", st_->sourceCount).close();
  return 0;
}

int Sim::vinSetCurrent(Call& c) {
  const int32_t id = *argPtr<int32_t>(c);
  c.line.object("arg").num("source", id).close();
  if (id < 0 || static_cast<uint32_t>(id) >= st_->sourceCount) return -EINVAL;
  st_->currentSource = id;
  return 0;
}

int Sim::vinGetCurrent(Call& c) {
  *argPtr<int32_t>(c) = st_->currentSource;
  c.line.object("arg").num("source", st_->currentSource).close();
  return 0;
}

int Sim::vinSrcInfo(Call& c) {
  const VinSource& s = st_->sources[st_->currentSource];
  auto* rec = argPtr<iav_vin_source_info_t>(c);
  std::memset(rec, 0, sizeof *rec);
  rec->id = s.id;
  rec->adapter_id = s.adapterId;
  rec->dev_type = s.devType;
  std::memcpy(rec->name, s.name, sizeof rec->name);
  rec->name[sizeof rec->name - 1] = 0;
  rec->sensor_id = s.sensorId;
  rec->default_mode = s.defaultMode;
  rec->total_channel_num = s.channels;
  rec->active_channel_id = s.activeChannel;
  c.line.object("arg").num("source", st_->currentSource).str("name", rec->name).hex("defaultMode", s.defaultMode).close();
  return 0;
}

namespace {
const VinMode* findMode(const VinSource& s, uint32_t mode) {
  for (uint32_t i = 0; i < s.modeCount; ++i)
    if ((s.modes[i].mode & 0xffffu) == (mode & 0xffffu)) return &s.modes[i];
  return nullptr;
}
}  // namespace

int Sim::vinCheckMode(Call& c) {
  auto* rec = argPtr<amba_vin_source_mode_info>(c);
  const uint32_t mode = rec->mode;
  const VinMode* m = findMode(st_->sources[st_->currentSource], mode);
  c.line.object("arg").hex("mode", mode).boolean("supported", m != nullptr);
  if (m == nullptr) {
    rec->is_supported = 0;
    c.line.close();
    return 0;
  }
  rec->width = m->width;
  rec->height = m->height;
  rec->frame_rate = m->rates[0];
  rec->is_supported = 1;
  if (rec->fps_table != nullptr && rec->fps_table_size > 0) {
    const uint32_t n = std::min(m->rateCount, rec->fps_table_size - 1);
    for (uint32_t i = 0; i < n; ++i) rec->fps_table[i] = m->rates[i];
    rec->fps_table[n] = 0;
  }
  c.line.unum("width", m->width).unum("height", m->height).unum("frameRate", m->rates[0]).close();
  return 0;
}

void Sim::restartVin() {
  // A new input timing: the preview pipeline has to be enabled again.
  st_->vinStartNs = now();
  if (st_->dspState == IAV_STATE_PREVIEW) st_->dspState = IAV_STATE_IDLE;
  // Frames count from 0 again: the sensor keeps the settings it will have.
  SettingsQueue& q = st_->camera.sensor;
  if (q.count > 0) {
    const SensorSettings last = q.e[q.count - 1].s;
    queueReset(q, last);
  }
}

int Sim::vinSetMode(Call& c) {
  const uint32_t mode = static_cast<uint32_t>(c.arg);
  c.line.object("arg").hex("mode", mode).close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (anyEncoding()) return -EBUSY;
  const VinMode* m = findMode(st_->sources[st_->currentSource], mode);
  if (m == nullptr) return -EINVAL;
  st_->vinSource = st_->currentSource;
  st_->vinMode = m->mode;
  st_->vinWidth = m->width;
  st_->vinHeight = m->height;
  st_->vinRate = m->rates[0];
  st_->vinRateSet = 0;
  restartVin();
  return 0;
}

int Sim::vinGetMode(Call& c) {
  *argPtr<uint32_t>(c) = st_->vinMode;
  c.line.object("arg").hex("mode", st_->vinMode).close();
  return 0;
}

int Sim::vinSetRate(Call& c) {
  const uint32_t rate = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("frameRate", rate).close();
  if (st_->dspState == IAV_STATE_INIT || st_->vinSource < 0) return -EPERM;
  if (anyEncoding()) return -EBUSY;
  const VinMode* m = findMode(st_->sources[st_->vinSource], st_->vinMode);
  bool known = false;
  for (uint32_t i = 0; m && i < m->rateCount; ++i) known |= m->rates[i] == rate;
  if (!known) return -EINVAL;
  st_->vinRate = rate;
  st_->vinRateSet = 1;
  restartVin();
  return 0;
}

int Sim::vinVideoInfo(Call& c) {
  auto* rec = argPtr<iav_vin_video_info_t>(c);
  std::memset(rec, 0, sizeof *rec);
  rec->width = st_->vinWidth;
  rec->height = st_->vinHeight;
  rec->frame_rate = st_->vinRate;
  rec->mode = st_->vinMode;
  c.line.object("arg").unum("width", rec->width).unum("height", rec->height).unum("frameRate", rec->frame_rate).close();
  return 0;
}

// ---- pipeline set-up ----------------------------------------------------------------------------

int Sim::getLimits(Call& c) {
  *argPtr<iav_system_resource_setup_ex_s>(c) = st_->limits;
  c.line.object("arg").close();
  return 0;
}

int Sim::setLimits(Call& c) {
  const auto& l = *argPtr<iav_system_resource_setup_ex_s>(c);
  c.line.object("arg")
      .unum("mainWidth", l.main_source_buffer_max_width)
      .unum("mainHeight", l.main_source_buffer_max_height)
      .unum("maxStreams", l.max_num_encode_streams)
      .unum("gopM0", l.stream_max_GOP_M[0])
      .close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  if (l.max_num_encode_streams == 0 || l.max_num_encode_streams > kStreams) return -EINVAL;
  for (int k = 0; k < 8; ++k)
    if (l.stream_max_GOP_M[k] > 3) return -EINVAL;
  st_->limits = l;
  st_->limitsSet = 1;
  return 0;
}

int Sim::getSetupInfo(Call& c) {
  *argPtr<iav_system_setup_info_ex_t>(c) = st_->setupInfo;
  c.line.object("arg").close();
  return 0;
}

int Sim::setSetupInfo(Call& c) {
  const auto& s = *argPtr<iav_system_setup_info_ex_t>(c);
  c.line.object("arg").unum("field0", s.field0).unum("field2", s.field2).unum("field4", s.field4).close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  st_->setupInfo = s;
  return 0;
}

int Sim::setBufferTypes(Call& c) {
  const auto& t = *argPtr<iav_source_buffer_type_all_ex_t>(c);
  c.line.object("arg")
      .unum("main", t.main_buffer_type)
      .unum("second", t.second_buffer_type)
      .unum("third", t.third_buffer_type)
      .unum("fourth", t.fourth_buffer_type)
      .close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  for (uint32_t v : {t.main_buffer_type, t.second_buffer_type, t.third_buffer_type, t.fourth_buffer_type})
    if (v > 1) return -EINVAL;
  if (t.main_buffer_type != 1) return -EINVAL;
  st_->bufferTypes = t;
  return 0;
}

int Sim::setBufferFormats(Call& c) {
  const auto& f = *argPtr<iav_source_buffer_format_all_ex_t>(c);
  c.line.object("arg").unum("mainWidth", f.main_width).unum("mainHeight", f.main_height);
  c.line.unum("secondWidth", f.second.width).unum("secondHeight", f.second.height).close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  if (st_->vinSource < 0) return -EPERM;
  if (f.main_width == 0 || f.main_height == 0 || f.main_width > st_->vinWidth || f.main_height > st_->vinHeight)
    return -EINVAL;
  const auto& l = st_->limits;
  if (st_->limitsSet && (f.main_width > l.main_source_buffer_max_width || f.main_height > l.main_source_buffer_max_height))
    return -EINVAL;
  const iav_sub_buffer_format_t* subs[3] = {&f.second, &f.third, &f.fourth};
  const uint32_t used[3] = {st_->bufferTypes.second_buffer_type, st_->bufferTypes.third_buffer_type,
                            st_->bufferTypes.fourth_buffer_type};
  const uint16_t maxW[3] = {l.second_source_buffer_max_width, l.third_source_buffer_max_width,
                            l.fourth_source_buffer_max_width};
  const uint16_t maxH[3] = {l.second_source_buffer_max_height, l.third_source_buffer_max_height,
                            l.fourth_source_buffer_max_height};
  for (int k = 0; k < 3; ++k) {
    if (!used[k]) continue;
    const auto& s = *subs[k];
    if (s.width == 0 || s.height == 0 || s.input_width == 0 || s.input_height == 0) return -EINVAL;
    if (s.input_width > f.main_width || s.input_height > f.main_height) return -EINVAL;
    if (st_->limitsSet && (s.width > maxW[k] || s.height > maxH[k])) return -EINVAL;
  }
  st_->bufferFormats = f;
  st_->buffersSet = 1;
  return 0;
}

int Sim::getBufferFormats(Call& c) {
  *argPtr<iav_source_buffer_format_all_ex_t>(c) = st_->bufferFormats;
  c.line.object("arg").close();
  return 0;
}


int Sim::enablePreview(Call& c) {
  c.line.object("arg").unum("value", c.arg).close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (st_->dspState == IAV_STATE_ENCODING) return -EBUSY;
  if (st_->vinSource < 0 || !st_->vinRateSet || !st_->buffersSet) return -EPERM;
  st_->dspState = IAV_STATE_PREVIEW;
  return 0;
}

int Sim::setAudioClock(Call& c) {
  const uint32_t hz = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("hz", hz).close();
  if (hz < 8000 || hz > 192000) return -EINVAL;
  if (st_->dspState == IAV_STATE_ENCODING) return -EBUSY;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  st_->audioClock = hz;
  return 0;
}


}  // namespace iav
}  // namespace sim
}  // namespace kavo

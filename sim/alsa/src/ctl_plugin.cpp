// The simulated sound card's control device (external "ctl_ext" plugin): one integer mixer element
// "Capture Volume" whose value lives in the state file shared with the capture PCM (which scales
// its signal by it), every write journalled. The configuration may leave the element out.
#include <alsa/asoundlib.h>
#include <alsa/control_external.h>

#include <cstring>
#include <new>

#include "card.h"
#include "plugin_conf.h"


namespace kavo {
namespace sim {
namespace alsa {
namespace {

struct Ctl : PluginDevice {
  Ctl() : PluginDevice("ctl") {}
  snd_ctl_ext_t ext{};
};

Ctl* self(snd_ctl_ext_t* ext) { return static_cast<Ctl*>(ext->private_data); }

void cbClose(snd_ctl_ext_t* ext) {
  Ctl* c = self(ext);
  JournalLine line;
  c->begin(line, "close");
  c->write(line);
  delete c;
}

int cbElemCount(snd_ctl_ext_t* ext) { return self(ext)->cfg.volumePresent ? 1 : 0; }

int cbElemList(snd_ctl_ext_t* ext, unsigned int offset, snd_ctl_elem_id_t* id) {
  if (!self(ext)->cfg.volumePresent || offset != 0) return -EINVAL;
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, kElementName);
  return 0;
}

snd_ctl_ext_key_t cbFindElem(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
  Ctl* c = self(ext);
  const char* name = snd_ctl_elem_id_get_name(id);
  const unsigned numid = snd_ctl_elem_id_get_numid(id);
  const bool byName = name != nullptr && name[0] != '\0';
  const bool match = c->cfg.volumePresent &&
                     (byName ? std::strcmp(name, kElementName) == 0 &&
                                   snd_ctl_elem_id_get_interface(id) == SND_CTL_ELEM_IFACE_MIXER &&
                                   snd_ctl_elem_id_get_index(id) == 0
                             : numid == 1);
  if (match) return 0;
  JournalLine line;
  c->begin(line, "find");
  line.str("name", byName ? name : "").unum("numid", numid);
  line.str("iface", snd_ctl_elem_iface_name(snd_ctl_elem_id_get_interface(id))).num("rc", -ENOENT);
  c->write(line);
  return SND_CTL_EXT_KEY_NOT_FOUND;
}

int cbGetAttribute(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, int* type, unsigned int* acc, unsigned int* count) {
  Ctl* c = self(ext);
  const int rc = c->fault("snd_ctl_elem_info");
  if (rc < 0) {
    JournalLine line;
    c->begin(line, "info");
    line.str("element", kElementName).num("rc", rc).boolean("fault", true);
    c->write(line);
    return rc;
  }
  *type = SND_CTL_ELEM_TYPE_INTEGER;
  *acc = SND_CTL_EXT_ACCESS_READWRITE;
  *count = 1;
  return 0;
}

int cbGetIntegerInfo(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, long* imin, long* imax, long* istep) {
  Ctl* c = self(ext);
  *imin = c->cfg.volumeMin;
  *imax = c->cfg.volumeMax;
  *istep = 1;
  return 0;
}

int cbReadInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, long* value) {
  Ctl* c = self(ext);
  const int rc = c->fault("snd_ctl_elem_read");
  if (rc < 0) {
    JournalLine line;
    c->begin(line, "read");
    line.str("element", kElementName).num("rc", rc).boolean("fault", true);
    c->write(line);
    return rc;
  }
  value[0] = static_cast<long>(c->st->volume.load());
  return 0;
}

int cbWriteInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, long* value) {
  Ctl* c = self(ext);
  const long v = value[0];
  const int64_t before = c->st->volume.load();
  int rc = c->fault("snd_ctl_elem_write");
  const bool injected = rc < 0;
  if (rc == 0 && (v < c->cfg.volumeMin || v > c->cfg.volumeMax)) rc = -EINVAL;
  if (rc == 0) c->st->volume.store(v);
  JournalLine line;
  c->begin(line, "write");
  line.str("element", kElementName).num("value", v).num("previous", before).num("rc", rc);
  if (injected) line.boolean("fault", true);
  c->write(line);
  // Like the kernel's write request: 0 whether or not the value changed.
  return rc;
}

void cbSubscribeEvents(snd_ctl_ext_t*, int) {}

int cbReadEvent(snd_ctl_ext_t*, snd_ctl_elem_id_t*, unsigned int*) { return -EAGAIN; }

const snd_ctl_ext_callback_t kCallbacks = [] {
  snd_ctl_ext_callback_t c{};
  c.close = cbClose;
  c.elem_count = cbElemCount;
  c.elem_list = cbElemList;
  c.find_elem = cbFindElem;
  c.get_attribute = cbGetAttribute;
  c.get_integer_info = cbGetIntegerInfo;
  c.read_integer = cbReadInteger;
  c.write_integer = cbWriteInteger;
  c.subscribe_events = cbSubscribeEvents;
  c.read_event = cbReadEvent;
  return c;
}();

}  // namespace
}  // namespace alsa
}  // namespace sim
}  // namespace kavo

// The plugins are built with hidden symbols; ALSA looks up only these two.
#pragma GCC visibility push(default)
extern "C" {

SND_CTL_PLUGIN_DEFINE_FUNC(kavo) {
  using namespace kavo::sim::alsa;
  using kavo::sim::JournalLine;
  (void)root;
  Ctl* c = new (std::nothrow) Ctl();
  if (c == nullptr) return -ENOMEM;
  int rc = c->attach(conf);  // a malformed block leaves the journal closed: nothing is written
  if (rc == 0) rc = c->faults.onRequest("snd_ctl_open");
  if (rc == 0) {
    c->ext.version = SND_CTL_EXT_VERSION;
    c->ext.card_idx = 0;
    std::strncpy(c->ext.id, "kavo", sizeof c->ext.id - 1);
    std::strncpy(c->ext.driver, "kavo-sim", sizeof c->ext.driver - 1);
    std::strncpy(c->ext.name, "Kavo simulated microphone", sizeof c->ext.name - 1);
    std::strncpy(c->ext.longname, "Kavo simulated camera microphone", sizeof c->ext.longname - 1);
    std::strncpy(c->ext.mixername, "kavo-sim", sizeof c->ext.mixername - 1);
    c->ext.poll_fd = -1;
    c->ext.callback = &kCallbacks;
    c->ext.private_data = c;
    rc = snd_ctl_ext_create(&c->ext, name, mode);
  }
  JournalLine line;
  c->begin(line, "open");
  line.str("name", name ? name : "").num("mode", mode).num("rc", rc).boolean("element", c->cfg.volumePresent);
  c->write(line);
  if (rc < 0) {
    delete c;
    return rc;
  }
  *handlep = c->ext.handle;
  return 0;
}

SND_CTL_PLUGIN_SYMBOL(kavo)

}  // extern "C"
#pragma GCC visibility pop

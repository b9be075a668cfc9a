#include "audiobinding.h"

#include <dlfcn.h>

namespace kavo {
namespace encoder {

namespace {

AudioBinding table{};

template <class F>
void bind(void* program, F& entry, const char* name, const char*& missing) {
  void* symbol = program != nullptr ? ::dlsym(program, name) : nullptr;
  entry = reinterpret_cast<F>(symbol);
  if (symbol == nullptr && missing == nullptr) missing = name;
}

#define KAVO_BIND(name) bind(program, table.name, #name, missing)

void bindAll() {
  // The program's handle reaches the program and the libraries loaded with it (libasound).
  void* program = ::dlopen(nullptr, RTLD_NOW);
  const char* missing = nullptr;
  KAVO_BIND(aacenc_setup);
  KAVO_BIND(aacenc_open);
  KAVO_BIND(aacenc_encode);
  KAVO_BIND(AacEncClose);
  KAVO_BIND(snd_strerror);
  KAVO_BIND(snd_pcm_open);
  KAVO_BIND(snd_pcm_close);
  KAVO_BIND(snd_pcm_hw_params_malloc);
  KAVO_BIND(snd_pcm_hw_params_free);
  KAVO_BIND(snd_pcm_hw_params_any);
  KAVO_BIND(snd_pcm_hw_params_set_access);
  KAVO_BIND(snd_pcm_hw_params_set_format);
  KAVO_BIND(snd_pcm_hw_params_set_rate_near);
  KAVO_BIND(snd_pcm_hw_params_set_channels);
  KAVO_BIND(snd_pcm_hw_params);
  KAVO_BIND(snd_pcm_prepare);
  KAVO_BIND(snd_pcm_start);
  KAVO_BIND(snd_pcm_avail);
  KAVO_BIND(snd_pcm_recover);
  KAVO_BIND(snd_pcm_mmap_begin);
  KAVO_BIND(snd_pcm_mmap_commit);
  KAVO_BIND(snd_ctl_open);
  KAVO_BIND(snd_ctl_close);
  KAVO_BIND(snd_ctl_elem_id_sizeof);
  KAVO_BIND(snd_ctl_elem_id_set_interface);
  KAVO_BIND(snd_ctl_elem_id_set_name);
  KAVO_BIND(snd_ctl_elem_info_sizeof);
  KAVO_BIND(snd_ctl_elem_info_set_id);
  KAVO_BIND(snd_ctl_elem_info);
  KAVO_BIND(snd_ctl_elem_info_get_min);
  KAVO_BIND(snd_ctl_elem_info_get_max);
  KAVO_BIND(snd_ctl_elem_value_sizeof);
  KAVO_BIND(snd_ctl_elem_value_set_id);
  KAVO_BIND(snd_ctl_elem_value_set_integer);
  KAVO_BIND(snd_ctl_elem_write);
  table.missing = missing;
  // The program's handle stays open for the life of the process: the entries point into it.
}

#undef KAVO_BIND

struct BindAtLoad {
  BindAtLoad() { bindAll(); }
};
const BindAtLoad bindAtLoad;

}  // namespace

AudioBinding& audioBinding() { return table; }

void rebindAudio() { bindAll(); }

}  // namespace encoder
}  // namespace kavo

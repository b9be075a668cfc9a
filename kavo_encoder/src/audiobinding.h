#pragma once
// The functions that the audio capture calls but the library does not link: the AAC encoder's
// four entry points and the ALSA library. Both come from the program that loads the library (it
// carries the AAC encoder, exports it, and links libasound), so they are looked up by name in the
// program's global scope once, when the library is loaded.
//
// The table is writable so that tests can script a device or an encoder call by replacing an
// entry; rebind() restores what the program provides.
#include <alsa/asoundlib.h>

#include "aacenc.h"

namespace kavo {
namespace encoder {

struct AudioBinding {
  decltype(&::aacenc_setup) aacenc_setup;
  decltype(&::aacenc_open) aacenc_open;
  decltype(&::aacenc_encode) aacenc_encode;
  decltype(&::AacEncClose) AacEncClose;

  decltype(&::snd_strerror) snd_strerror;
  decltype(&::snd_pcm_open) snd_pcm_open;
  decltype(&::snd_pcm_close) snd_pcm_close;
  decltype(&::snd_pcm_hw_params_malloc) snd_pcm_hw_params_malloc;
  decltype(&::snd_pcm_hw_params_free) snd_pcm_hw_params_free;
  decltype(&::snd_pcm_hw_params_any) snd_pcm_hw_params_any;
  decltype(&::snd_pcm_hw_params_set_access) snd_pcm_hw_params_set_access;
  decltype(&::snd_pcm_hw_params_set_format) snd_pcm_hw_params_set_format;
  decltype(&::snd_pcm_hw_params_set_rate_near) snd_pcm_hw_params_set_rate_near;
  decltype(&::snd_pcm_hw_params_set_channels) snd_pcm_hw_params_set_channels;
  decltype(&::snd_pcm_hw_params) snd_pcm_hw_params;
  decltype(&::snd_pcm_prepare) snd_pcm_prepare;
  decltype(&::snd_pcm_start) snd_pcm_start;
  decltype(&::snd_pcm_avail) snd_pcm_avail;
  decltype(&::snd_pcm_recover) snd_pcm_recover;
  decltype(&::snd_pcm_mmap_begin) snd_pcm_mmap_begin;
  decltype(&::snd_pcm_mmap_commit) snd_pcm_mmap_commit;

  decltype(&::snd_ctl_open) snd_ctl_open;
  decltype(&::snd_ctl_close) snd_ctl_close;
  decltype(&::snd_ctl_elem_id_sizeof) snd_ctl_elem_id_sizeof;
  decltype(&::snd_ctl_elem_id_set_interface) snd_ctl_elem_id_set_interface;
  decltype(&::snd_ctl_elem_id_set_name) snd_ctl_elem_id_set_name;
  decltype(&::snd_ctl_elem_info_sizeof) snd_ctl_elem_info_sizeof;
  decltype(&::snd_ctl_elem_info_set_id) snd_ctl_elem_info_set_id;
  decltype(&::snd_ctl_elem_info) snd_ctl_elem_info;
  decltype(&::snd_ctl_elem_info_get_min) snd_ctl_elem_info_get_min;
  decltype(&::snd_ctl_elem_info_get_max) snd_ctl_elem_info_get_max;
  decltype(&::snd_ctl_elem_value_sizeof) snd_ctl_elem_value_sizeof;
  decltype(&::snd_ctl_elem_value_set_id) snd_ctl_elem_value_set_id;
  decltype(&::snd_ctl_elem_value_set_integer) snd_ctl_elem_value_set_integer;
  decltype(&::snd_ctl_elem_write) snd_ctl_elem_write;

  // The first name that the program does not provide, or null when every entry is bound.
  const char* missing;
};

// The table, bound when the library was loaded.
AudioBinding& audioBinding();
// Looks every name up again in the program (tests undo their replacements with it).
void rebindAudio();

}  // namespace encoder
}  // namespace kavo

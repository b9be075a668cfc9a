#include "kavo/encoder/encodersettings.h"

namespace kavo {
namespace encoder {

template class EncoderSettingsT<fields::Document>;
template class BaseEncoderSettingsT<fields::Document>;
template class AudioEncoderSettingsT<fields::Document>;
template class BaseVideoEncoderSettingsT<fields::Document>;
template class VideoEncoderSettingsT<fields::Document>;
template class H264VideoEncoderSettingsT<fields::Document>;
template class MJPGVideoEncoderSettingsT<fields::Document>;
template class EncoderSettingsT<fields::Node>;
template class BaseEncoderSettingsT<fields::Node>;
template class AudioEncoderSettingsT<fields::Node>;
template class BaseVideoEncoderSettingsT<fields::Node>;
template class VideoEncoderSettingsT<fields::Node>;
template class H264VideoEncoderSettingsT<fields::Node>;
template class MJPGVideoEncoderSettingsT<fields::Node>;

}  // namespace encoder
}  // namespace kavo

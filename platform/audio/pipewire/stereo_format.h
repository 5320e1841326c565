// The format Velto's own stereo nodes and taps offer the server: 32-bit float, front left and
// right, at one rate. Built into the caller's builder.
#pragma once

#include <cstdint>

#include <spa/param/audio/format-utils.h>

namespace platform::audio {

inline const spa_pod* stereoFloatFormat(spa_pod_builder& builder, uint32_t rate) {
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = rate;
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

} // namespace platform::audio

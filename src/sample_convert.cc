#include "sample_convert.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double kFullScale = 32767;

// The samples of each output frame, in double precision, as a mix of two
// floats must not overflow.
template <typename Write>
void for_each_sample(const float* in, size_t frames, int32_t in_channels, int32_t out_channels,
                     Write write) {
  if (out_channels < in_channels) {
    for (size_t i = 0; i < frames; i++) {
      write(i, (double(in[2 * i]) + double(in[2 * i + 1])) / 2);
    }
    return;
  }
  const size_t samples = frames * size_t(in_channels);
  for (size_t i = 0; i < samples; i++) write(i, double(in[i]));
}

}  // namespace

size_t frame_bytes(const FrameFormat& format) {
  const size_t sample = format.sample_format == SampleFormat::kS16 ? sizeof(int16_t) : sizeof(float);
  return sample * size_t(format.channels);
}

int16_t to_s16(double sample) {
  if (std::isnan(sample)) return 0;
  const double scaled = (sample > 1 ? 1 : sample < -1 ? -1 : sample) * kFullScale;
  // Halves round upwards (-0.5 to 0, 0.5 to 1), whatever the sign.
  double rounded = std::floor(scaled);
  if (scaled - rounded >= 0.5) rounded += 1;
  return int16_t(rounded);
}

void convert_frames(const float* in, size_t frames, int32_t in_channels, const FrameFormat& format,
                    void* out) {
  char* bytes = static_cast<char*>(out);
  if (format.sample_format == SampleFormat::kS16) {
    for_each_sample(in, frames, in_channels, format.channels, [bytes](size_t i, double sample) {
      const int16_t value = to_s16(sample);
      std::memcpy(bytes + i * sizeof(value), &value, sizeof(value));
    });
    return;
  }
  for_each_sample(in, frames, in_channels, format.channels, [bytes](size_t i, double sample) {
    const float value = float(sample);
    std::memcpy(bytes + i * sizeof(value), &value, sizeof(value));
  });
}

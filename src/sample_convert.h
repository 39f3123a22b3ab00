// The conversion of the recorder's float frames into the format a capture
// hands over: pure functions, run on the reader thread.
#ifndef ORVEL_SAMPLE_CONVERT_H_
#define ORVEL_SAMPLE_CONVERT_H_

#include <cstddef>
#include <cstdint>

#include "orvel_backend.h"

// What frames are converted into.
struct FrameFormat {
  int32_t channels;
  SampleFormat sample_format;
};

// The bytes one frame takes in FORMAT.
size_t frame_bytes(const FrameFormat& format);

// A float sample as a 16-bit one: clipped to [-1, 1], scaled by 32767 and
// rounded to nearest, halves upwards; NaN is 0.
int16_t to_s16(double sample);

// Converts FRAMES frames of interleaved floats, IN_CHANNELS (1 or 2) each,
// into OUT as FORMAT asks: to one channel, the mean of left and right, when
// it has fewer channels than the input. OUT holds at least FRAMES frames of
// FORMAT and does not overlap IN.
void convert_frames(const float* in, size_t frames, int32_t in_channels, const FrameFormat& format,
                    void* out);

#endif  // ORVEL_SAMPLE_CONVERT_H_

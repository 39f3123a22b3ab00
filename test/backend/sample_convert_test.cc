// The reader's conversion of the recorder's floats into a capture's format.
#include "sample_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

template <typename T>
std::vector<T> Convert(const std::vector<float>& in, int32_t in_channels, FrameFormat format) {
  const size_t frames = in.size() / size_t(in_channels);
  std::vector<char> out(frames * frame_bytes(format));
  convert_frames(in.data(), frames, in_channels, format, out.data());
  std::vector<T> samples(out.size() / sizeof(T));
  std::memcpy(samples.data(), out.data(), out.size());
  return samples;
}

TEST(SampleConvert, SixteenBitSamplesRoundHalvesUpwardsAndClipToFullScale) {
  const struct {
    double sample;
    int16_t expected;
  } cases[] = {
      {0, 0},           {1, 32767},     {-1, -32767},   {1.5, 32767},   {-2, -32767},
      {kInf, 32767},    {-kInf, -32767}, {kNaN, 0},     {0.5, 16384},   {-0.5, -16383},
      {0.5 / 32767, 1}, {-0.5 / 32767, 0}, {1.5 / 32767, 2}, {-1.5 / 32767, -1},
      {0.49999 / 32767, 0},
  };
  for (const auto& [sample, expected] : cases) EXPECT_EQ(to_s16(sample), expected) << sample;
}

TEST(SampleConvert, FramesInEachFormat) {
  const std::vector<float> stereo = {0.5f, 0.25f, -1, 1, 1.5f, 0.7f, -0.2f, -2, 3e38f, 3e38f};
  EXPECT_EQ(Convert<float>(stereo, 2, {2, SampleFormat::kF32}), stereo);
  EXPECT_EQ(Convert<float>(stereo, 2, {1, SampleFormat::kF32}),
            (std::vector<float>{0.375f, 0, 1.1f, -1.1f, 3e38f}))
      << "the mean of left and right, without overflow";
  EXPECT_EQ(Convert<int16_t>(stereo, 2, {2, SampleFormat::kS16}),
            (std::vector<int16_t>{16384, 8192, -32767, 32767, 32767, 22937, -6553, -32767, 32767, 32767}));
  EXPECT_EQ(Convert<int16_t>(stereo, 2, {1, SampleFormat::kS16}),
            (std::vector<int16_t>{12288, 0, 32767, -32767, 32767}))
      << "the mean rounded, not each channel";
  EXPECT_EQ(Convert<int16_t>({0.25f, -0.75f}, 1, {1, SampleFormat::kS16}), (std::vector<int16_t>{8192, -24575}));
  EXPECT_EQ(frame_bytes({1, SampleFormat::kS16}), 2u);
  EXPECT_EQ(frame_bytes({2, SampleFormat::kF32}), 8u);
}

}  // namespace

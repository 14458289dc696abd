#pragma once

#include <cstdint>

namespace orlavonix {

// 8000 <-> 22000 Hz converters: polyphase FIR filters at 88000 Hz. Each keeps
// the inputs its next block needs, so any split of a stream into calls gives
// the output of one call over the whole stream.

constexpr int UpsampleTaps = 44;
constexpr int DownsampleTaps = 24;
extern const float UpsampleKernel[UpsampleTaps];     // h_up
extern const float DownsampleKernel[DownsampleTaps]; // h_down

struct alignas(16) TUpsampler {
  float History[3]; // the last three inputs of the previous block
};

struct alignas(16) TDownsampler {
  float History[5]; // the last five inputs of the previous block
};

void InitUpsampler(TUpsampler& State);
// Count: available inputs on entry, consumed (a multiple of 8) on return.
// Writes 22 outputs per 8 inputs and returns their number.
int32_t Upsample(TUpsampler& State, int32_t& Count, const float* Input, float* Output);

void InitDownsampler(TDownsampler& State);
// Count: available inputs on entry, consumed (a multiple of 11) on return.
// Writes 4 outputs per 11 inputs and returns their number.
int32_t Downsample(TDownsampler& State, int32_t& Count, const float* Input, float* Output);

// The two variants behind Upsample/Downsample; both give identical results.
int32_t UpsampleScalar(TUpsampler& State, int32_t& Count, const float* Input, float* Output);
int32_t DownsampleScalar(TDownsampler& State, int32_t& Count, const float* Input, float* Output);
int32_t UpsampleSSE(TUpsampler& State, int32_t& Count, const float* Input, float* Output);
int32_t DownsampleSSE(TDownsampler& State, int32_t& Count, const float* Input, float* Output);

// Whether this processor offers SSE (with FXSR); decided once.
bool ProcessorHasSSE();
// Whether Upsample/Downsample use the SSE variant.
bool ResamplerUsesSSE();

} // namespace orlavonix

#pragma once

// The OSS request codes and format values, taken from the system's own header
// rather than restated here.
#include <sys/ioctl.h>
#include <sys/soundcard.h>

namespace orlavonix::soundcard {

inline constexpr unsigned long DspReset = SNDCTL_DSP_RESET;
inline constexpr unsigned long DspSetDuplex = SNDCTL_DSP_SETDUPLEX;
inline constexpr unsigned long DspGetCaps = SNDCTL_DSP_GETCAPS;
inline constexpr unsigned long DspSetFragment = SNDCTL_DSP_SETFRAGMENT;
inline constexpr unsigned long DspSetFmt = SNDCTL_DSP_SETFMT;
inline constexpr unsigned long DspChannels = SNDCTL_DSP_CHANNELS;
inline constexpr unsigned long DspSpeed = SNDCTL_DSP_SPEED;
inline constexpr unsigned long DspGetBlkSize = SNDCTL_DSP_GETBLKSIZE;

inline constexpr int FmtS16LE = AFMT_S16_LE;
inline constexpr int FmtS8 = AFMT_S8;
inline constexpr int CapDuplex = DSP_CAP_DUPLEX;

// The codes follow the usual request encoding with the type letter 'P'.
static_assert(DspReset == _IO('P', 0));
static_assert(DspSpeed == _IOWR('P', 2, int));
static_assert(DspSetFmt == _IOWR('P', 5, int));
static_assert(DspChannels == _IOWR('P', 6, int));
static_assert(DspGetBlkSize == _IOWR('P', 4, int));
static_assert(DspSetFragment == _IOWR('P', 10, int));
static_assert(DspGetCaps == _IOR('P', 15, int));
static_assert(DspSetDuplex == _IO('P', 22));
static_assert(FmtS16LE == 16 && FmtS8 == 64 && CapDuplex == 0x100);

} // namespace orlavonix::soundcard

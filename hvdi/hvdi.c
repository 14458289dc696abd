/* libHVDI: GSM 06.10 through libgsm and a CELP coder through the Speex
 * narrow-band encoder at a fixed rate; see hvdi.h for the payload layout. */
#include "hvdi.h"

#include <gsm.h>
#include <math.h>
#include <speex/speex.h>
#include <stdlib.h>
#include <string.h>

/* Speex narrow-band at 8000 bit/s: 160 bits, 20 bytes per 20 ms frame. The
 * lower fixed rates turn steady tones into noise 13 to 20 dB down. */
#define CELP_BITRATE 8000

static const unsigned char Magic0 = 0xC7;
static const unsigned char Magic1 = 0x5A;

struct hvdi_enc_state {
  unsigned char codec;
  gsm gsm_state;
  void* celp_state;
  SpeexBits bits;
  int bits_ready;
};

struct hvdi_dec_state {
  unsigned char last_codec;
  gsm gsm_state;
  void* celp_state;
  SpeexBits bits;
  int bits_ready;
};

static int FrameBytes(unsigned char codec) {
  if (codec == HVDI_CODEC_GSM)
    return HVDI_GSM_FRAME_BYTES;
  if (codec == HVDI_CODEC_CELP)
    return HVDI_CELP_FRAME_BYTES;
  return 0;
}

static short ToShort(float v) {
  if (v >= 32767.0f)
    return 32767;
  if (v <= -32768.0f)
    return -32768;
  return (short)lrintf(v);
}

hvdi_enc_state* hvdiNewEncState(void) {
  return calloc(1, sizeof(hvdi_enc_state));
}

hvdi_dec_state* hvdiNewDecState(void) {
  return calloc(1, sizeof(hvdi_dec_state));
}

void hvdiDeleteEncState(hvdi_enc_state* s) {
  if (!s)
    return;
  if (s->gsm_state)
    gsm_destroy(s->gsm_state);
  if (s->celp_state)
    speex_encoder_destroy(s->celp_state);
  if (s->bits_ready)
    speex_bits_destroy(&s->bits);
  free(s);
}

void hvdiDeleteDecState(hvdi_dec_state* s) {
  if (!s)
    return;
  if (s->gsm_state)
    gsm_destroy(s->gsm_state);
  if (s->celp_state)
    speex_decoder_destroy(s->celp_state);
  if (s->bits_ready)
    speex_bits_destroy(&s->bits);
  free(s);
}

int hvdiEncStateSetCodec(hvdi_enc_state* s, unsigned char codec) {
  if (!s || FrameBytes(codec) == 0)
    return -1;
  if (codec == HVDI_CODEC_GSM && !s->gsm_state) {
    s->gsm_state = gsm_create();
    if (!s->gsm_state)
      return -1;
  }
  if (codec == HVDI_CODEC_CELP && !s->celp_state) {
    spx_int32_t off = 0, rate = CELP_BITRATE;
    s->celp_state = speex_encoder_init(&speex_nb_mode);
    if (!s->celp_state)
      return -1;
    speex_encoder_ctl(s->celp_state, SPEEX_SET_VBR, &off);
    speex_encoder_ctl(s->celp_state, SPEEX_SET_BITRATE, &rate);
    if (!s->bits_ready) {
      speex_bits_init(&s->bits);
      s->bits_ready = 1;
    }
  }
  s->codec = codec;
  return 0;
}

unsigned char hvdiDecStateGetCodec(const hvdi_dec_state* s) {
  return s ? s->last_codec : 0;
}

void* hvdiNewEncryptionKey(const char* passphrase) {
  (void)passphrase;
  return NULL;
}

void hvdiDeleteEncryptionKey(void* key) {
  (void)key;
}

/* Frame count and sample count of a well-formed payload, or 0. */
static int ParseHeader(const unsigned char* p, int length, unsigned char* codec, int* frames,
                       int* samples) {
  int fb, n, s;
  if (!p || length < HVDI_HEADER_SIZE || length > HVDI_MAX_PAYLOAD)
    return 0;
  if (p[0] != Magic0 || p[1] != Magic1)
    return 0;
  fb = FrameBytes(p[2]);
  n = p[3];
  s = p[4] | (p[5] << 8);
  if (fb == 0 || n < 1 || n > HVDI_MAX_FRAMES)
    return 0;
  if (s <= (n - 1) * HVDI_FRAME_SAMPLES || s > n * HVDI_FRAME_SAMPLES)
    return 0;
  if (length != HVDI_HEADER_SIZE + n * fb)
    return 0;
  if (p[2] == HVDI_CODEC_GSM) {
    /* every GSM 06.10 frame starts with the signature nibble 0xD */
    for (int i = 0; i < n; i++)
      if ((p[HVDI_HEADER_SIZE + i * fb] & 0xF0) != 0xD0)
        return 0;
  }
  *codec = p[2];
  *frames = n;
  *samples = s;
  return 1;
}

int hvdiPacketIsVoice(const unsigned char* packet, int length) {
  unsigned char codec;
  int frames, samples;
  return ParseHeader(packet, length, &codec, &frames, &samples);
}

int hvdiPacketEncode(unsigned char* packet, int samples, const short* buf, int maxlen, void* key,
                     hvdi_enc_state* s) {
  int fb, frames, total;
  (void)key;
  if (!s || !packet || !buf || samples < 1 || samples > HVDI_MAX_FRAMES * HVDI_FRAME_SAMPLES)
    return 0;
  fb = FrameBytes(s->codec);
  if (fb == 0)
    return 0;
  frames = (samples + HVDI_FRAME_SAMPLES - 1) / HVDI_FRAME_SAMPLES;
  total = HVDI_HEADER_SIZE + frames * fb;
  if (total > maxlen || total > HVDI_MAX_PAYLOAD)
    return 0;
  packet[0] = Magic0;
  packet[1] = Magic1;
  packet[2] = s->codec;
  packet[3] = (unsigned char)frames;
  packet[4] = (unsigned char)(samples & 0xFF);
  packet[5] = (unsigned char)(samples >> 8);
  for (int f = 0; f < frames; f++) {
    short frame[HVDI_FRAME_SAMPLES];
    int have = samples - f * HVDI_FRAME_SAMPLES;
    unsigned char* out = packet + HVDI_HEADER_SIZE + f * fb;
    if (have > HVDI_FRAME_SAMPLES)
      have = HVDI_FRAME_SAMPLES;
    memcpy(frame, buf + f * HVDI_FRAME_SAMPLES, (size_t)have * sizeof(short));
    memset(frame + have, 0, (size_t)(HVDI_FRAME_SAMPLES - have) * sizeof(short));
    if (s->codec == HVDI_CODEC_GSM) {
      gsm_encode(s->gsm_state, frame, out);
    } else {
      float in[HVDI_FRAME_SAMPLES];
      int written;
      for (int i = 0; i < HVDI_FRAME_SAMPLES; i++)
        in[i] = frame[i];
      speex_bits_reset(&s->bits);
      speex_encode(s->celp_state, in, &s->bits);
      written = speex_bits_write(&s->bits, (char*)out, fb);
      if (written < fb)
        memset(out + written, 0, (size_t)(fb - written));
    }
  }
  return total;
}

int hvdiPacketDecode(const unsigned char* packet, int length, short* buf, int buflen, void* key,
                     hvdi_dec_state* s) {
  unsigned char codec;
  int frames, samples, fb, written = 0;
  if (key || !s || !buf || !ParseHeader(packet, length, &codec, &frames, &samples))
    return 0;
  fb = FrameBytes(codec);
  if (codec == HVDI_CODEC_GSM && !s->gsm_state) {
    s->gsm_state = gsm_create();
    if (!s->gsm_state)
      return 0;
  }
  if (codec == HVDI_CODEC_CELP && !s->celp_state) {
    spx_int32_t on = 1;
    s->celp_state = speex_decoder_init(&speex_nb_mode);
    if (!s->celp_state)
      return 0;
    speex_decoder_ctl(s->celp_state, SPEEX_SET_ENH, &on);
    if (!s->bits_ready) {
      speex_bits_init(&s->bits);
      s->bits_ready = 1;
    }
  }
  s->last_codec = codec;
  for (int f = 0; f < frames; f++) {
    short frame[HVDI_FRAME_SAMPLES];
    const unsigned char* in = packet + HVDI_HEADER_SIZE + f * fb;
    int want = samples - written;
    if (want > HVDI_FRAME_SAMPLES)
      want = HVDI_FRAME_SAMPLES;
    if (buflen - written < want)
      break;
    if (codec == HVDI_CODEC_GSM) {
      if (gsm_decode(s->gsm_state, (gsm_byte*)in, frame) != 0)
        memset(frame, 0, sizeof frame);
    } else {
      float out[HVDI_FRAME_SAMPLES];
      speex_bits_read_from(&s->bits, (const char*)in, fb);
      if (speex_decode(s->celp_state, &s->bits, out) != 0)
        memset(out, 0, sizeof out);
      for (int i = 0; i < HVDI_FRAME_SAMPLES; i++)
        frame[i] = ToShort(out[i]);
    }
    memcpy(buf + written, frame, (size_t)want * sizeof(short));
    written += want;
  }
  return written;
}

struct hvdi_vox {
  int hold_blocks;
  int threshold;
  int hold;
};

hvdi_vox* hvdiNewVOX(int speed, int threshold) {
  hvdi_vox* v = calloc(1, sizeof(hvdi_vox));
  if (v) {
    v->hold_blocks = speed < 0 ? 0 : speed;
    v->threshold = threshold < 0 ? 0 : threshold;
  }
  return v;
}

int hvdiVOX(hvdi_vox* v, const short* buf, int buflen) {
  long long sum = 0;
  if (!v || !buf || buflen <= 0)
    return 0;
  for (int i = 0; i < buflen; i++)
    sum += buf[i] < 0 ? -(long long)buf[i] : buf[i];
  if (sum / buflen >= v->threshold) {
    v->hold = v->hold_blocks;
    return 1;
  }
  if (v->hold > 0) {
    v->hold--;
    return 1;
  }
  return 0;
}

void hvdiDeleteVOX(hvdi_vox* v) {
  free(v);
}

struct hvdi_rate {
  int inrate;
  int outrate;
  long long position; /* output samples produced, for the source index */
  long long consumed; /* input samples consumed so far */
};

hvdi_rate* hvdiNewRate(int inrate, int outrate) {
  hvdi_rate* r;
  if (inrate <= 0 || outrate <= 0)
    return NULL;
  r = calloc(1, sizeof(hvdi_rate));
  if (r) {
    r->inrate = inrate;
    r->outrate = outrate;
  }
  return r;
}

void hvdiRateFlow(hvdi_rate* r, const short* inbuf, short* outbuf, int* inlen, int* outlen) {
  int out = 0;
  if (!r || !inbuf || !outbuf || !inlen || !outlen || *inlen < 0 || *outlen < 0) {
    if (inlen)
      *inlen = 0;
    if (outlen)
      *outlen = 0;
    return;
  }
  for (; out < *outlen; out++) {
    long long src = (r->position * r->inrate) / r->outrate - r->consumed;
    if (src >= *inlen)
      break;
    outbuf[out] = inbuf[src];
    r->position++;
  }
  {
    long long next = (r->position * r->inrate) / r->outrate - r->consumed;
    int used = next > *inlen ? *inlen : (int)next;
    r->consumed += used;
    *inlen = used;
  }
  *outlen = out;
}

void hvdiDeleteRate(hvdi_rate* r) {
  free(r);
}

struct hvdi_agc {
  float level;
  float gain;
};

hvdi_agc* hvdiNewAGC(float level) {
  hvdi_agc* a = calloc(1, sizeof(hvdi_agc));
  if (a) {
    a->level = level < 0.0f ? 0.0f : (level > 1.0f ? 1.0f : level);
    a->gain = 1.0f;
  }
  return a;
}

void hvdiAGC(hvdi_agc* a, short* buf, int buflen) {
  int peak = 0;
  if (!a || !buf || buflen <= 0)
    return;
  for (int i = 0; i < buflen; i++) {
    int m = buf[i] < 0 ? -buf[i] : buf[i];
    if (m > peak)
      peak = m;
  }
  if (peak > 0) {
    float g = a->level * 32767.0f / (float)peak;
    a->gain = g < 0.1f ? 0.1f : (g > 10.0f ? 10.0f : g);
  }
  for (int i = 0; i < buflen; i++)
    buf[i] = ToShort((float)buf[i] * a->gain);
}

void hvdiDeleteAGC(hvdi_agc* a) {
  free(a);
}

void hvdiMix(short* outbuf, short** inbuf, int number, int inlen) {
  if (!outbuf || inlen <= 0)
    return;
  for (int i = 0; i < inlen; i++) {
    int sum = 0;
    for (int k = 0; k < number; k++)
      if (inbuf && inbuf[k])
        sum += inbuf[k][i];
    outbuf[i] = (short)(sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum));
  }
}

void hvdiHint(int hint, int value) {
  (void)hint;
  (void)value;
}

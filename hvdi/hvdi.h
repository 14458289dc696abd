/* libHVDI: the small CELP/GSM voice codec library that the client opens at run
 * time. Samples are mono, 16-bit, 8000 Hz.
 *
 * Payload layout (every payload this library writes, at most 1024 bytes):
 *   0  2 bytes  magic 0xC7 0x5A
 *   2  1 byte   codec value: 3 (GSM 06.10) or 8 (CELP)
 *   3  1 byte   frame count N (1 to 30), frames of 160 samples
 *   4  2 bytes  sample count S, little-endian, (N-1)*160 < S <= N*160
 *   6  ...      N frames of fixed size: 33 bytes (GSM) or 20 bytes (CELP)
 * A block whose length is not a multiple of 160 is padded with silence for
 * coding; the decoder gives back exactly S samples.
 */
#ifndef ORLAVONIX_HVDI_H
#define ORLAVONIX_HVDI_H

#ifdef __cplusplus
extern "C" {
#endif

#define HVDI_EXPORT __attribute__((visibility("default")))

#define HVDI_CODEC_GSM 3
#define HVDI_CODEC_CELP 8
#define HVDI_HEADER_SIZE 6
#define HVDI_MAX_PAYLOAD 1024
#define HVDI_FRAME_SAMPLES 160
#define HVDI_MAX_FRAMES 30
#define HVDI_GSM_FRAME_BYTES 33
#define HVDI_CELP_FRAME_BYTES 20

typedef struct hvdi_enc_state hvdi_enc_state;
typedef struct hvdi_dec_state hvdi_dec_state;
typedef struct hvdi_vox hvdi_vox;
typedef struct hvdi_rate hvdi_rate;
typedef struct hvdi_agc hvdi_agc;

/* Encoder and decoder states; NULL when memory is short. */
HVDI_EXPORT hvdi_enc_state* hvdiNewEncState(void);
HVDI_EXPORT hvdi_dec_state* hvdiNewDecState(void);
HVDI_EXPORT void hvdiDeleteEncState(hvdi_enc_state* state);
HVDI_EXPORT void hvdiDeleteDecState(hvdi_dec_state* state);

/* Chooses the codec of later hvdiPacketEncode calls: 3 or 8. Returns 0, or -1
 * for any other value (the previous codec stays). */
HVDI_EXPORT int hvdiEncStateSetCodec(hvdi_enc_state* state, unsigned char codec);
/* The codec of the last payload this decoder decoded, 0 before the first. */
HVDI_EXPORT unsigned char hvdiDecStateGetCodec(const hvdi_dec_state* state);

/* Payloads are never encrypted: the key functions accept any pass phrase and
 * return NULL; a NULL key is what the packet calls expect. */
HVDI_EXPORT void* hvdiNewEncryptionKey(const char* passphrase);
HVDI_EXPORT void hvdiDeleteEncryptionKey(void* key);

/* 1 when the bytes are a complete, well-formed payload of this library, else 0. */
HVDI_EXPORT int hvdiPacketIsVoice(const unsigned char* packet, int length);
/* Decodes one payload into at most buflen samples; returns the number written,
 * 0 when the payload is not ours or buflen is too small for one frame. A
 * non-NULL key makes the call fail with 0. */
HVDI_EXPORT int hvdiPacketDecode(const unsigned char* packet, int length, short* buf, int buflen,
                                 void* key, hvdi_dec_state* state);
/* Encodes `samples` samples (1 to 30*160) into packet (room for maxlen bytes);
 * returns the payload length, 0 when no codec is set, the count is out of range
 * or the payload would not fit. */
HVDI_EXPORT int hvdiPacketEncode(unsigned char* packet, int samples, const short* buf, int maxlen,
                                 void* key, hvdi_enc_state* state);

/* Voice activation on mean absolute amplitude: speed is the hold time in
 * blocks, threshold the amplitude (0 to 32767). hvdiVOX returns 1 while the
 * block or the hold counts as speech. */
HVDI_EXPORT hvdi_vox* hvdiNewVOX(int speed, int threshold);
HVDI_EXPORT int hvdiVOX(hvdi_vox* vox, const short* buf, int buflen);
HVDI_EXPORT void hvdiDeleteVOX(hvdi_vox* vox);

/* Sample-rate change by nearest-sample selection. hvdiRateFlow consumes up to
 * *inlen samples and writes up to *outlen; both are updated to what was used. */
HVDI_EXPORT hvdi_rate* hvdiNewRate(int inrate, int outrate);
HVDI_EXPORT void hvdiRateFlow(hvdi_rate* rate, const short* inbuf, short* outbuf, int* inlen,
                              int* outlen);
HVDI_EXPORT void hvdiDeleteRate(hvdi_rate* rate);

/* Gain control: each block is scaled so that its peak approaches `level`
 * (0 to 1 of full scale), gain between 0.1 and 10, clipped to 16 bits. */
HVDI_EXPORT hvdi_agc* hvdiNewAGC(float level);
HVDI_EXPORT void hvdiAGC(hvdi_agc* agc, short* buf, int buflen);
HVDI_EXPORT void hvdiDeleteAGC(hvdi_agc* agc);

/* Sums `number` input buffers of inlen samples into outbuf, clipped to 16 bits. */
HVDI_EXPORT void hvdiMix(short* outbuf, short** inbuf, int number, int inlen);

/* Tuning hints; accepted and without effect in this library. */
HVDI_EXPORT void hvdiHint(int hint, int value);

#ifdef __cplusplus
}
#endif

#endif

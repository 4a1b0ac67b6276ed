/* velmar_wire.h: the frame format of the exchange between the workers and the inference service,
 * and the C interface that the velmar_wire extension exports for it.
 *
 * The one place the format is written down in C: velmar_wire (the endpoints), velmar_self_play
 * (its native path to them) and bench/exchange_floor.c include it; velmar_pipeline.selfplay.wire
 * is the Python reference that the tests hold all of them to, byte for byte.
 *
 * Request frame (VELMAR_WIRE_FRAME_BYTES, written whole into the one request pipe that every
 * worker shares; smaller than PIPE_BUF, so the kernel never interleaves two of them):
 *   bytes 0..3     the game id, int32, little-endian
 *   bytes 4..253   the 5 planes of 400 cells as 2000 bits: bit p * 400 + c is plane p, cell c,
 *                  1 for 1.0 and 0 for 0.0, the most significant bit of each byte first (the
 *                  order of numpy.packbits)
 * Reply message (to the reply pipe of the slot that owns the id, as a multiprocessing
 * Connection message; also smaller than PIPE_BUF):
 *   bytes 0..3     the length of what follows, uint32, big-endian: VELMAR_WIRE_REPLY_BYTES, or
 *                  0 for the empty message "the run is stopping, abandon the game"
 *   bytes 4..7     the game id, int32, little-endian
 *   bytes 8..1607  400 logits, float32, little-endian, by cell
 *   bytes 1608..1623  4 values, float32, little-endian, by seat relative to the player to move
 *
 * Only the format part needs nothing but C; the interface part names the interpreter's object
 * structs by their tags and is meant for code that includes Python.h. */
#ifndef VELMAR_WIRE_H
#define VELMAR_WIRE_H

#include <stddef.h>
#include <stdint.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* --- the format -------------------------------------------------------------------------- */

enum {
  VELMAR_WIRE_PLANES = 5,
  VELMAR_WIRE_CELLS = 400,
  VELMAR_WIRE_PLAYERS = 4,
  VELMAR_WIRE_ID_BYTES = 4,
  VELMAR_WIRE_BITS = VELMAR_WIRE_PLANES * VELMAR_WIRE_CELLS,
  VELMAR_WIRE_FRAME_BYTES = VELMAR_WIRE_ID_BYTES + VELMAR_WIRE_BITS / 8, /* 254 */
  VELMAR_WIRE_REPLY_FLOATS = VELMAR_WIRE_CELLS + VELMAR_WIRE_PLAYERS,
  VELMAR_WIRE_REPLY_BYTES = VELMAR_WIRE_ID_BYTES + 4 * VELMAR_WIRE_REPLY_FLOATS, /* 1620 */
  VELMAR_WIRE_HEADER_BYTES = 4,
  VELMAR_WIRE_MESSAGE_BYTES = VELMAR_WIRE_HEADER_BYTES + VELMAR_WIRE_REPLY_BYTES, /* 1624 */
  VELMAR_WIRE_LOGITS_AT = VELMAR_WIRE_HEADER_BYTES + VELMAR_WIRE_ID_BYTES,        /* in a message */
  VELMAR_WIRE_VALUES_AT = VELMAR_WIRE_LOGITS_AT + 4 * VELMAR_WIRE_CELLS
};

/* Packs 2000 plane values (plane-major, 0.0 or 1.0) into the bits of a frame (`bits` points
 * VELMAR_WIRE_ID_BYTES into it). Returns 1, or 0 when a value is neither 0.0 nor 1.0 (the bits
 * are then written anyway, a value counting as 1 when it equals 1.0). */
static inline int velmar_wire_pack_bits(const float* values, unsigned char* bits) {
#if defined(__SSE2__)
  /* Eight values per byte: two 4-lane comparisons, their sign masks (lane 0 in bit 0) reversed
   * into the byte's most significant bits first. */
  static const unsigned char reversed[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 zero = _mm_setzero_ps();
  __m128 binary = _mm_cmpeq_ps(zero, zero);
  for (size_t byte = 0; byte < VELMAR_WIRE_BITS / 8; ++byte) {
    const __m128 low = _mm_loadu_ps(values + byte * 8);
    const __m128 high = _mm_loadu_ps(values + byte * 8 + 4);
    const __m128 low_one = _mm_cmpeq_ps(low, one);
    const __m128 high_one = _mm_cmpeq_ps(high, one);
    binary = _mm_and_ps(binary, _mm_or_ps(low_one, _mm_cmpeq_ps(low, zero)));
    binary = _mm_and_ps(binary, _mm_or_ps(high_one, _mm_cmpeq_ps(high, zero)));
    bits[byte] =
        (unsigned char)(reversed[_mm_movemask_ps(low_one)] << 4 | reversed[_mm_movemask_ps(high_one)]);
  }
  return _mm_movemask_ps(binary) == 0xF;
#else
  int binary = 1;
  for (size_t byte = 0; byte < VELMAR_WIRE_BITS / 8; ++byte) {
    const float* eight = values + byte * 8;
    unsigned packed = 0;
    for (size_t bit = 0; bit < 8; ++bit) {
      const int one = eight[bit] == 1.0f;
      binary &= one | (eight[bit] == 0.0f);
      packed = packed << 1 | (unsigned)one;
    }
    bits[byte] = (unsigned char)packed;
  }
  return binary;
#endif
}

static inline void velmar_wire_put_le32(unsigned char* bytes, int32_t value) {
  const uint32_t u = (uint32_t)value;
  bytes[0] = (unsigned char)u;
  bytes[1] = (unsigned char)(u >> 8);
  bytes[2] = (unsigned char)(u >> 16);
  bytes[3] = (unsigned char)(u >> 24);
}

static inline int32_t velmar_wire_get_le32(const unsigned char* bytes) {
  return (int32_t)((uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                   (uint32_t)bytes[3] << 24);
}

static inline void velmar_wire_put_be32(unsigned char* bytes, uint32_t value) {
  bytes[0] = (unsigned char)(value >> 24);
  bytes[1] = (unsigned char)(value >> 16);
  bytes[2] = (unsigned char)(value >> 8);
  bytes[3] = (unsigned char)value;
}

static inline int32_t velmar_wire_get_be32(const unsigned char* bytes) {
  return (int32_t)((uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 |
                   (uint32_t)bytes[3]);
}

/* --- the C interface ------------------------------------------------------------------------
 *
 * The module's attribute `_C_API` is a capsule named VELMAR_WIRE_CAPSULE holding a `const
 * velmar_wire_api*` that lives as long as the process (PyCapsule_Import(VELMAR_WIRE_CAPSULE, 0)
 * imports the module for it; velmar_self_play only looks at a module already imported, since
 * no endpoint exists before). A user checks `version`, `size` and the layout fields against
 * this header and otherwise does not use it.
 *
 * The calls marked "no lock" must be made WITHOUT the interpreter lock, on endpoints of exactly
 * the types `request_sender` and `reply_pipe` that the caller keeps alive, by one thread at a time
 * per endpoint. They never touch an interpreter object: each returns VELMAR_WIRE_OK, or
 * VELMAR_WIRE_SIGNAL (a system call was interrupted by a signal: run the interpreter's signal
 * handlers with the lock held, PyErr_CheckSignals, then call again with the same arguments), or
 * another code that `raise_outcome`, called with the lock held, turns into the very exception
 * (kept in the endpoint's `failure` where the endpoint keeps it) that the endpoint's own `put` or
 * `recv` raises for the same event. */

struct _object;     /* PyObject */
struct _typeobject; /* PyTypeObject */

#define VELMAR_WIRE_CAPSULE "velmar_wire._C_API"
#define VELMAR_WIRE_API_VERSION 1

typedef enum {
  VELMAR_WIRE_OK = 0,
  VELMAR_WIRE_SIGNAL,       /* interrupted by a signal: run the handlers, then call again */
  VELMAR_WIRE_WRITE_FAILED, /* sender: write(2) failed with `error` (EPIPE: the service is gone) */
  VELMAR_WIRE_WRITE_SHORT,  /* sender: only `detail` bytes of the frame were written */
  VELMAR_WIRE_NOT_BINARY,   /* sender: a plane value other than 0.0 and 1.0 */
  VELMAR_WIRE_READ_FAILED,  /* pipe: poll(2) or read(2) failed with `error` */
  VELMAR_WIRE_CLOSED,       /* pipe: the service's end of the reply pipe is closed */
  VELMAR_WIRE_TIMED_OUT,    /* pipe: no reply within the pipe's timeout */
  VELMAR_WIRE_STOPPED,      /* pipe: the empty message (the run is stopping) */
  VELMAR_WIRE_BAD_LENGTH,   /* pipe: a message of `detail` bytes, not a reply (skipped whole
                               when `detail` >= 0) */
  VELMAR_WIRE_MISROUTED     /* pipe: a reply for game id `detail`, not the expected one */
} velmar_wire_code;

typedef struct {
  int code;       /* a velmar_wire_code */
  int error;      /* errno, for the *_FAILED codes */
  int64_t detail; /* see the codes */
} velmar_wire_outcome;

typedef struct velmar_wire_api {
  unsigned version;     /* VELMAR_WIRE_API_VERSION */
  unsigned size;        /* sizeof(velmar_wire_api) */
  unsigned frame_bytes; /* VELMAR_WIRE_FRAME_BYTES */
  unsigned reply_bytes; /* VELMAR_WIRE_REPLY_BYTES */
  unsigned cells, planes, players;

  struct _typeobject* request_sender; /* velmar_wire.RequestSender, exactly */
  struct _typeobject* reply_pipe;     /* velmar_wire.ReplyPipe, exactly */

  /* Lock held. The pipe's expected id, when it is an int: 1 and *id set (*id may lie outside
   * the int32 range, where no reply matches); 0 when it is None or anything else, whose
   * comparison only the pipe's own recv makes (velmar_self_play then takes the plain path). */
  int (*expected_id)(struct _object* pipe, int64_t* id);
  /* Lock held. Adds `count` to the pipe's `replies`. */
  void (*count_replies)(struct _object* pipe, int64_t count);

  /* No lock. Writes one whole frame into the sender's pipe. */
  int (*send_frame)(struct _object* sender, const unsigned char* frame, velmar_wire_outcome* out);
  /* No lock. Waits for the pipe's next reply and reads it: the logits into `logits` [400] and the
   * values into `values` [4], the id into *id. `*deadline_ns` (CLOCK_MONOTONIC nanoseconds) is set
   * from the pipe's timeout when it is 0 and kept across VELMAR_WIRE_SIGNAL retries; set it to 0
   * again for the next reply. When `check_id` is nonzero a reply whose id is not `expected`
   * gives VELMAR_WIRE_MISROUTED; the reply is consumed either way. */
  int (*receive_reply)(struct _object* pipe, int64_t* deadline_ns, int check_id, int64_t expected,
                       float* logits, float* values, int32_t* id, velmar_wire_outcome* out);

  /* Lock held. Sets the exception for `out` (not VELMAR_WIRE_OK or VELMAR_WIRE_SIGNAL) as the
   * endpoint's put or recv would, keeps it where they keep it, and returns NULL. */
  struct _object* (*raise_outcome)(struct _object* endpoint, const velmar_wire_outcome* out);
} velmar_wire_api;

#ifdef __cplusplus
}
#endif

#endif /* VELMAR_WIRE_H */

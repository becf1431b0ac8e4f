#include "verify/md5.h"

#include <bit>
#include <cstring>

namespace brenvik {
namespace {

// Fed through update by final: one 0x80 byte, then zeros up to the length
// field.
constexpr uint8_t kPadding[64] = {0x80};

// memset called through a volatile pointer: the compiler cannot see which
// function runs, so it cannot drop the call as a dead store even when the
// memory is never read again. Used to leave no message bytes behind.
void* (*const volatile kWipe)(void*, int, size_t) = std::memset;

void Wipe(void* memory, size_t size) { kWipe(memory, 0, size); }

inline uint32_t LoadLittleEndian(const uint8_t* bytes) {
  uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = __builtin_bswap32(word);
  }
  return word;
}

inline void StoreLittleEndian(uint8_t* bytes, uint32_t word) {
  if constexpr (std::endian::native == std::endian::big) {
    word = __builtin_bswap32(word);
  }
  std::memcpy(bytes, &word, sizeof word);
}

// Round functions F, H and I; F is written as a bit select on b, which takes
// one operation fewer than (b & c) | (~b & d).
inline uint32_t F(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t H(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t I(uint32_t b, uint32_t c, uint32_t d) { return c ^ (b | ~d); }

// One step: a = b + ((a + f(b, c, d) + word + constant) <<< shift).
#define BRENVIK_MD5_STEP(f, a, b, c, d, word, shift, constant) \
  (a) += f((b), (c), (d)) + (word) + (constant);               \
  (a) = std::rotl((a), (shift)) + (b)

// Second-round step with G(b, c, d) = (b & d) | (c & ~d). The two halves
// never have a bit set in common, so they can be added separately; the half
// that does not depend on b (the result of the step just before) starts
// early, which shortens the dependency chain through the step.
#define BRENVIK_MD5_STEP_G(a, b, c, d, word, shift, constant) \
  (a) += (word) + (constant) + (~(d) & (c));                  \
  (a) += (d) & (b);                                           \
  (a) = std::rotl((a), (shift)) + (b)

// Runs block_count consecutive 64-byte blocks through the block transform.
// The state stays in registers from one block to the next; the scratch copy
// of each block's words is wiped before the next block is read.
void TransformBlocks(uint32_t state[4], const uint8_t* blocks, size_t block_count) {
  uint32_t words[16];
  uint32_t a = state[0];
  uint32_t b = state[1];
  uint32_t c = state[2];
  uint32_t d = state[3];
  for (; block_count > 0; --block_count, blocks += 64) {
    for (int i = 0; i < 16; ++i) words[i] = LoadLittleEndian(blocks + 4 * i);
    const uint32_t* x = words;
    const uint32_t aa = a;
    const uint32_t bb = b;
    const uint32_t cc = c;
    const uint32_t dd = d;

    BRENVIK_MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478);
    BRENVIK_MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756);
    BRENVIK_MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db);
    BRENVIK_MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee);
    BRENVIK_MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf);
    BRENVIK_MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a);
    BRENVIK_MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613);
    BRENVIK_MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501);
    BRENVIK_MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8);
    BRENVIK_MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af);
    BRENVIK_MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
    BRENVIK_MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
    BRENVIK_MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122);
    BRENVIK_MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
    BRENVIK_MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
    BRENVIK_MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821);

    BRENVIK_MD5_STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
    BRENVIK_MD5_STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
    BRENVIK_MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
    BRENVIK_MD5_STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    BRENVIK_MD5_STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
    BRENVIK_MD5_STEP_G(d, a, b, c, x[10], 9, 0x02441453);
    BRENVIK_MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
    BRENVIK_MD5_STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    BRENVIK_MD5_STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
    BRENVIK_MD5_STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
    BRENVIK_MD5_STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
    BRENVIK_MD5_STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
    BRENVIK_MD5_STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
    BRENVIK_MD5_STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
    BRENVIK_MD5_STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
    BRENVIK_MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    BRENVIK_MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942);
    BRENVIK_MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681);
    BRENVIK_MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
    BRENVIK_MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
    BRENVIK_MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44);
    BRENVIK_MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9);
    BRENVIK_MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60);
    BRENVIK_MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
    BRENVIK_MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6);
    BRENVIK_MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa);
    BRENVIK_MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085);
    BRENVIK_MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05);
    BRENVIK_MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039);
    BRENVIK_MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
    BRENVIK_MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
    BRENVIK_MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665);

    BRENVIK_MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244);
    BRENVIK_MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97);
    BRENVIK_MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
    BRENVIK_MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039);
    BRENVIK_MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3);
    BRENVIK_MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92);
    BRENVIK_MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
    BRENVIK_MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1);
    BRENVIK_MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f);
    BRENVIK_MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
    BRENVIK_MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314);
    BRENVIK_MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
    BRENVIK_MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82);
    BRENVIK_MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
    BRENVIK_MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
    BRENVIK_MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391);

    Wipe(words, sizeof words);
    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef BRENVIK_MD5_STEP
#undef BRENVIK_MD5_STEP_G

}  // namespace

void Md5Init(Md5Context& context) {
  context.state[0] = 0x67452301;
  context.state[1] = 0xefcdab89;
  context.state[2] = 0x98badcfe;
  context.state[3] = 0x10325476;
  context.count[0] = 0;
  context.count[1] = 0;
}

void Md5Update(Md5Context& context, const void* data, size_t length) {
  if (length == 0) return;
  const auto* input = static_cast<const uint8_t*>(data);
  size_t index = (context.count[0] >> 3) & 0x3f;

  // The bit count is kept modulo 2^64, as the length field of the padding.
  const auto added_bits = static_cast<uint32_t>(length << 3);
  context.count[0] += added_bits;
  if (context.count[0] < added_bits) ++context.count[1];
  context.count[1] += static_cast<uint32_t>(length >> 29);

  const size_t part_length = 64 - index;
  size_t consumed = 0;
  if (length >= part_length) {
    std::memcpy(context.buffer + index, input, part_length);
    TransformBlocks(context.state, context.buffer, 1);
    // Whole blocks are transformed straight from the input, without a copy.
    const size_t whole_blocks = (length - part_length) / 64;
    TransformBlocks(context.state, input + part_length, whole_blocks);
    consumed = part_length + 64 * whole_blocks;
    index = 0;
  }
  std::memcpy(context.buffer + index, input + consumed, length - consumed);
}

void Md5Final(Md5Digest& digest, Md5Context& context) {
  uint8_t bit_count[8];
  StoreLittleEndian(bit_count, context.count[0]);
  StoreLittleEndian(bit_count + 4, context.count[1]);

  const size_t index = (context.count[0] >> 3) & 0x3f;
  Md5Update(context, kPadding, index < 56 ? 56 - index : 120 - index);
  Md5Update(context, bit_count, sizeof bit_count);

  for (int i = 0; i < 4; ++i) StoreLittleEndian(digest.data() + 4 * i, context.state[i]);
  Wipe(&context, sizeof context);
}

std::string Md5Hex(const Md5Digest& digest) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex(2 * digest.size(), '\0');
  for (size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  return hex;
}

Md5Digest Md5Of(const void* data, size_t length) {
  Md5Context context;
  Md5Init(context);
  Md5Update(context, data, length);
  Md5Digest digest;
  Md5Final(digest, context);
  return digest;
}

}  // namespace brenvik

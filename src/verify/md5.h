#pragma once
// MD5 message digest (RFC 1321): init, update any number of times, final.
// The context is a plain value owned by the caller; any number of contexts
// may be used on different threads at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace brenvik {

struct Md5Context {
  uint32_t state[4];
  uint32_t count[2];  // bits fed so far, low word first
  uint8_t buffer[64];
};

using Md5Digest = std::array<uint8_t, 16>;

void Md5Init(Md5Context& context);
void Md5Update(Md5Context& context, const void* data, size_t length);
// Pads, writes the digest, then wipes the context to zeros.
void Md5Final(Md5Digest& digest, Md5Context& context);

// 32 lowercase hexadecimal digits.
std::string Md5Hex(const Md5Digest& digest);
// Digest of a whole buffer.
Md5Digest Md5Of(const void* data, size_t length);

}  // namespace brenvik

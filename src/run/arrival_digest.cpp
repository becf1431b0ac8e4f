#include "run/arrival_digest.h"

#include "verify/file_check.h"

namespace brenvik {

std::optional<bool> ArrivalDigest::Matches(uint64_t size, std::string_view digest) {
  if (Hashed() != size) return std::nullopt;
  Md5Digest made{};
  Md5Final(made, context_);
  Begin(0);
  return SameHexDigest(Md5Hex(made), digest);
}

}  // namespace brenvik

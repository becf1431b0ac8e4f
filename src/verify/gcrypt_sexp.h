#pragma once
// libgcrypt's S-expressions, owned: for the sources that talk to libgcrypt
// (the Windows build's *_gcrypt.cpp). Call PrepareCryptoLibrary() first.
//
// Thread safety: any thread; each value is its owner's.

#include <gcrypt.h>

#include <climits>
#include <cstddef>
#include <memory>
#include <string_view>
#include <type_traits>

namespace brenvik {

struct SexpRelease {
  void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpRelease>;

// Builds an S-expression from `format` and its arguments (for "%b": an int
// length, then the bytes); null when the library refuses.
template <typename... Arguments>
Sexp BuildSexp(const char* format, Arguments... arguments) {
  gcry_sexp_t built = nullptr;
  if (gcry_sexp_build(&built, nullptr, format, arguments...) != 0) return nullptr;
  return Sexp(built);
}

// The data S-expression of a pure Ed25519 operation over `message`; null
// when the message is longer than the library can take (INT_MAX bytes).
inline Sexp Ed25519Data(std::string_view message) {
  if (message.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  return BuildSexp("(data (flags eddsa) (hash-algo sha512) (value %b))",
                   static_cast<int>(message.size()), message.data());
}

}  // namespace brenvik

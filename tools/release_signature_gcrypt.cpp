#include <gcrypt.h>

#include <cstring>
#include <memory>

#include "tools/release_signature_ed25519.h"
#include "verify/gcrypt_sexp.h"

namespace brenvik {

namespace {

Sexp PrivateKey(const Ed25519Seed& seed) {
  return BuildSexp("(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                   static_cast<int>(seed.size()), seed.data());
}

// Copies the value of the token `name` in `list` to `out`, which must be
// exactly `size` bytes long.
bool CopyTokenValue(gcry_sexp_t list, const char* name, unsigned char* out, size_t size) {
  const Sexp token(gcry_sexp_find_token(list, name, 0));
  size_t length = 0;
  const char* value = token ? gcry_sexp_nth_data(token.get(), 1, &length) : nullptr;
  if (value == nullptr || length != size) return false;
  std::memcpy(out, value, size);
  return true;
}

struct ContextRelease {
  void operator()(gcry_ctx_t context) const { gcry_ctx_release(context); }
};
struct MpiRelease {
  void operator()(gcry_mpi_t mpi) const { gcry_mpi_release(mpi); }
};

}  // namespace

bool Ed25519PublicKeyOf(const Ed25519Seed& seed, Ed25519Key& key) {
  PrepareCryptoLibrary();
  const Sexp private_key = PrivateKey(seed);
  gcry_ctx_t made = nullptr;
  if (!private_key || gcry_mpi_ec_new(&made, private_key.get(), nullptr) != 0) return false;
  const std::unique_ptr<std::remove_pointer_t<gcry_ctx_t>, ContextRelease> context(made);
  // The point in Ed25519's own 32-byte encoding, as an opaque value.
  const std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiRelease> point(
      gcry_mpi_ec_get_mpi("q@eddsa", context.get(), 1));
  if (!point || !gcry_mpi_get_flag(point.get(), GCRYMPI_FLAG_OPAQUE)) return false;
  unsigned int bits = 0;
  const void* bytes = gcry_mpi_get_opaque(point.get(), &bits);
  if (bytes == nullptr || bits != key.size() * 8) return false;
  std::memcpy(key.data(), bytes, key.size());
  return true;
}

bool SignEd25519(const Ed25519Seed& seed, std::string_view message, Ed25519Signature& signature) {
  PrepareCryptoLibrary();
  const Sexp private_key = PrivateKey(seed);
  const Sexp data = Ed25519Data(message);
  gcry_sexp_t made = nullptr;
  if (!private_key || !data || gcry_pk_sign(&made, data.get(), private_key.get()) != 0) {
    return false;
  }
  // (sig-val (eddsa (r R) (s S))), R and S 32 bytes each: the signature's halves.
  const Sexp result(made);
  const size_t half = signature.size() / 2;
  return CopyTokenValue(result.get(), "r", signature.data(), half) &&
         CopyTokenValue(result.get(), "s", signature.data() + half, half);
}

}  // namespace brenvik

#include <gcrypt.h>

#include <mutex>

#include "verify/ed25519.h"
#include "verify/gcrypt_sexp.h"

namespace brenvik {

void PrepareCryptoLibrary() {
  static std::once_flag prepared;
  std::call_once(prepared, [] {
    // The version check is what initialises the library. No key here needs
    // locked memory: the only private keys are the demo's and the tests'.
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

bool VerifyEd25519(const Ed25519Key& key, const Ed25519Signature& signature,
                   std::string_view message) {
  PrepareCryptoLibrary();
  const int half = static_cast<int>(signature.size() / 2);
  const Sexp public_key = BuildSexp("(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                                    static_cast<int>(key.size()), key.data());
  const Sexp data = Ed25519Data(message);
  const Sexp signature_value = BuildSexp("(sig-val (eddsa (r %b) (s %b)))", half, signature.data(),
                                         half, signature.data() + half);
  if (!public_key || !data || !signature_value) return false;
  return gcry_pk_verify(signature_value.get(), data.get(), public_key.get()) == 0;
}

}  // namespace brenvik

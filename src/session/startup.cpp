#include "session/startup.h"

#include <new>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "platform/prompt.h"
#include "texts/setup_texts.h"

namespace brenvik {

namespace {

// One process-wide object of type T, made on first use and destroyed on
// request; nullptr when it cannot be allocated.
template <typename T>
class Singleton {
 public:
  static T* GetOrCreate() {
    if (instance_ == nullptr) instance_ = new (std::nothrow) T();
    return instance_;
  }
  static void Destroy() {
    delete instance_;
    instance_ = nullptr;
  }

 private:
  static inline T* instance_ = nullptr;
};

}  // namespace

Settings* GetOrCreateSettings() { return Singleton<Settings>::GetOrCreate(); }
void DestroySettings() { Singleton<Settings>::Destroy(); }
Catalogue* GetOrCreateCatalogue() { return Singleton<Catalogue>::GetOrCreate(); }
void DestroyCatalogue() { Singleton<Catalogue>::Destroy(); }

int StartUp(Prompt& prompt, const std::function<int(Settings&, Catalogue&)>& run_wizard) {
  Settings* settings = GetOrCreateSettings();
  Catalogue* catalogue = settings != nullptr ? GetOrCreateCatalogue() : nullptr;
  if (settings == nullptr || catalogue == nullptr) {
    prompt.Ask(kMemoryError, PromptButtons::kOk, PromptIcon::kNone);
    DestroySettings();
    DestroyCatalogue();
    return 1;
  }
  int status = 1;
  try {
    status = run_wizard(*settings, *catalogue);
  } catch (const std::bad_alloc&) {
    prompt.Ask(kMemoryError, PromptButtons::kOk, PromptIcon::kNone);
    status = 1;
  }
  DestroySettings();
  DestroyCatalogue();
  return status;
}

}  // namespace brenvik

#include "session/startup.h"

#include <new>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "platform/prompt.h"
#include "texts/setup_texts.h"

namespace brenvik {

namespace {
Settings* settings_instance = nullptr;
Catalogue* catalogue_instance = nullptr;
}  // namespace

Settings* GetOrCreateSettings() {
  if (settings_instance == nullptr) settings_instance = new (std::nothrow) Settings();
  return settings_instance;
}

void DestroySettings() {
  delete settings_instance;
  settings_instance = nullptr;
}

Catalogue* GetOrCreateCatalogue() {
  if (catalogue_instance == nullptr) catalogue_instance = new (std::nothrow) Catalogue();
  return catalogue_instance;
}

void DestroyCatalogue() {
  delete catalogue_instance;
  catalogue_instance = nullptr;
}

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

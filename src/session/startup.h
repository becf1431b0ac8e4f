#pragma once
// Start-up and teardown, without any toolkit.
//
// The process-wide objects of a run come to life in this order and go away
// in the reverse order: the run's flags and the transfer callback
// (ProcessObjects). The two singletons, the settings
// and the holder of the loaded catalogue (empty until the setup step loads
// it), are made on first use and destroyed by start-up at the end, the
// settings first.
//
// Threads: the face's thread only.

#include <functional>
#include <string>

#include "run/run_flags.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

class Catalogue;
class Prompt;
class Settings;

struct ProcessObjects {
  RunFlags flags;
  TransferCallback transfer_callback{flags.abort};
};

// Get-or-create: nullptr when the object cannot be allocated.
Settings* GetOrCreateSettings();
void DestroySettings();
Catalogue* GetOrCreateCatalogue();
void DestroyCatalogue();

// Creates both singletons, runs the wizard through `run_wizard` (its result
// is the program's exit status) and destroys them again. When either cannot
// be made, shows "Memory error! Free up some memory and try again!" and
// returns 1.
int StartUp(Prompt& prompt, const std::function<int(Settings&, Catalogue&)>& run_wizard);

}  // namespace brenvik

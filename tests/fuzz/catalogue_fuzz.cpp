// Feeds arbitrary bytes to the catalogue parser and checks what must hold for
// any input: no crash or undefined behaviour, the abort flag set exactly when
// the load fails, one message per failure, a total that is the saturating sum
// of the sizes, and only safe names in the rows.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "catalogue/catalogue.h"
#include "platform/paths.h"
#include "platform/prompt.h"

namespace {

class SilentPrompt : public brenvik::Prompt {
 public:
  brenvik::PromptAnswer Ask(const std::string&, brenvik::PromptButtons,
                            brenvik::PromptIcon) override {
    ++asked_;
    return brenvik::PromptAnswer::kOk;
  }
  int asked_ = 0;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::atomic<bool> abort{false};
  brenvik::Catalogue catalogue(abort);
  SilentPrompt prompt;
  const bool loaded = catalogue.LoadFromText(prompt, text);

  Check(abort.load() == !loaded);
  Check(prompt.asked_ == (loaded ? 0 : 1));
  uint64_t sum = 0;
  for (int row = 0; row < catalogue.RowCount(); ++row) {
    const brenvik::CatalogueEntry& entry = catalogue.Entry(row);
    Check(brenvik::IsSafeRelativeName(entry.name));
    Check(entry.name.find_first_of("\t:\n") == std::string::npos);
    Check(entry.checksum.find_first_of("\t:\n") == std::string::npos);
    const uint64_t next = sum + entry.size;
    sum = next < sum ? std::numeric_limits<uint64_t>::max() : next;
  }
  Check(catalogue.Total() == sum);
  Check(catalogue.Version().find('\n') == std::string::npos);
  return 0;
}

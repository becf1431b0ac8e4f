// Feeds arbitrary bytes to the catalogue parser and checks what must hold for
// any input: no crash or undefined behaviour, an error that names a line of
// the text and has a message, a total that is the saturating sum of the
// sizes, only safe names in the rows, and partial names that are all
// different and none of them a row's name.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>

#include "catalogue/catalogue.h"
#include "platform/paths.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckCatalogue(const brenvik::Catalogue& catalogue) {
  uint64_t sum = 0;
  std::unordered_set<std::string> names;
  std::unordered_set<std::string> partials;
  for (const brenvik::CatalogueEntry& entry : catalogue.Entries()) {
    Check(brenvik::IsSafeRelativeName(entry.name));
    Check(entry.name.find_first_of("\t:\n") == std::string::npos);
    Check(entry.checksum.find_first_of("\t:\n") == std::string::npos);
    Check(partials.insert(entry.partial_name).second);
    names.insert(entry.name);
    const uint64_t next = sum + entry.size;
    sum = next < sum ? std::numeric_limits<uint64_t>::max() : next;
  }
  for (const std::string& partial : partials) Check(!names.contains(partial));
  Check(catalogue.Total() == sum);
  Check(catalogue.Version().find('\n') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const brenvik::CatalogueResult parsed = brenvik::ParseCatalogue(text);
  if (const auto* error = std::get_if<brenvik::CatalogueError>(&parsed)) {
    // Text in memory is always readable: the error is a malformed row on a
    // line the text has.
    Check(error->kind != brenvik::CatalogueError::Kind::kUnreadable);
    Check(error->line >= 3);
    Check(error->line <= static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    Check(!brenvik::CatalogueErrorMessage(*error).empty());
    return 0;
  }
  CheckCatalogue(std::get<brenvik::Catalogue>(parsed));
  return 0;
}

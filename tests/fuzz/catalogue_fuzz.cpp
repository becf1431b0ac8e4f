// Feeds arbitrary bytes to the catalogue parser and checks what must hold for
// any input: no crash or undefined behaviour, an error that has a message and
// names a line of the text where it has one; for a catalogue, a safe version
// and at least one row, a total that is the saturating sum of the sizes,
// only safe names in the rows, and partial names that are all different and
// none of them a row's name.

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
  Check(brenvik::IsSafeVersion(catalogue.Version()));
  Check(catalogue.RowCount() > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const brenvik::CatalogueResult parsed = brenvik::ParseCatalogue(text);
  if (const auto* error = std::get_if<brenvik::CatalogueError>(&parsed)) {
    // Text in memory is always readable: the error is what the whole text
    // is instead of a catalogue (no line), a bad version on a line the text
    // has, or a malformed row on a line the text has.
    Check(error->kind != brenvik::CatalogueError::Kind::kUnreadable);
    Check(!brenvik::CatalogueErrorMessage(*error).empty());
    if (error->NotACatalogue() && error->kind != brenvik::CatalogueError::Kind::kBadVersion) {
      Check(error->line == 0);
      return 0;
    }
    Check(error->line >= (error->kind == brenvik::CatalogueError::Kind::kBadVersion ? 1u : 3u));
    Check(error->line <= static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    Check(!brenvik::CatalogueErrorMessage(*error).empty());
    return 0;
  }
  CheckCatalogue(std::get<brenvik::Catalogue>(parsed));
  return 0;
}

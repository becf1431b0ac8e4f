#pragma once
// Plays another program that holds a file: sets the held-file probe
// (platform/held_files.h) for the life of the object, counting the tries it
// is asked about and failing the first `holds` of them whose operation and
// name match.

#include <atomic>
#include <string>
#include <string_view>

#include "platform/held_files.h"

namespace brenvik::test {

class HeldFile {
 public:
  HeldFile(std::string operation, std::string name, int holds)
      : operation_(std::move(operation)), name_(std::move(name)), holds_(holds) {
    SetHeldFileProbe([this](std::string_view operation, std::string_view name) {
      if (operation != operation_ || name != name_) return false;
      return tries_.fetch_add(1) < holds_;
    });
  }
  ~HeldFile() { SetHeldFileProbe({}); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // Tries of the matching operation so far.
  int Tries() const { return tries_.load(); }

 private:
  std::string operation_;
  std::string name_;
  int holds_;
  std::atomic<int> tries_{0};
};

}  // namespace brenvik::test

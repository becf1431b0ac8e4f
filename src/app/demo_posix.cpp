#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "app/demo.h"
#include "platform/paths.h"
#include "session/exit_status.h"
#include "tools/release_catalogue.h"
#include "tools/release_server.h"
#include "tools/release_signature.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

struct DemoFile {
  const char* name;
  uint64_t size;
  uint64_t seed;
};

// About 9 MB: a few seconds at the demo's rate.
constexpr DemoFile kDemoFiles[] = {
    {"Setup.dat", 1'600'000, 1},
    {"Data/Levels.pak", 3'400'000, 2},
    {"Data/Sound Effects.pak", 2'300'000, 3},
    {"Movies/Intro.avi", 2'100'000, 4},
};
constexpr uint64_t kDemoScratchSpace = 1 << 20;

// THE DEMO'S KEY PAIR, PUBLISHED HERE ON PURPOSE: IT PROTECTS NOTHING. The
// demo signs its own catalogue with it so that the signature check can be
// watched passing; a real release is signed with the publisher's own key,
// whose secret half never leaves the publisher. Made with
// "signify-openbsd -G -n"; kDemoPublicKey is that key's .pub file.
constexpr SigningKey kDemoSigningKey = {
    .number = {0xfd, 0x17, 0x0c, 0xa1, 0x9f, 0x05, 0xfd, 0xe0},
    .seed = {0x59, 0xc5, 0x9e, 0xd4, 0x84, 0xb1, 0x98, 0xd2, 0x84, 0x38, 0xc9,
             0xa9, 0xdd, 0xcf, 0xbb, 0x06, 0x17, 0x30, 0x4e, 0x88, 0x6b, 0x01,
             0xf3, 0x37, 0xaa, 0x9f, 0x9b, 0x95, 0xfb, 0xf7, 0x7f, 0x76},
};

constexpr const char* kReadme =
    "Brenvik demo release\n"
    "\n"
    "This sample CD was made up on the spot by brenvik --demo. Its files hold\n"
    "nothing but numbers; Install.exe only says where it was started from.\n";

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool WriteText(const fs::path& path, const std::string& text) {
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out.flush());
}

bool WriteNumbers(const fs::path& path, uint64_t size, uint64_t seed) {
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  uint64_t state = seed;
  std::vector<char> block(64 * 1024);
  for (uint64_t left = size; left > 0 && out;) {
    const size_t now = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    for (size_t i = 0; i < now; i += 8) {
      const uint64_t value = SplitMix64(state);
      for (size_t b = 0; b < 8 && i + b < now; ++b)
        block[i + b] = static_cast<char>(value >> (8 * b));
    }
    out.write(block.data(), static_cast<std::streamsize>(now));
    left -= now;
  }
  return static_cast<bool>(out.flush());
}

uint64_t DemoRate() {
  const char* value = std::getenv(kDemoRateVariable);
  if (value == nullptr || *value == '\0') return kDemoBytesPerSecond;
  char* end = nullptr;
  errno = 0;
  const unsigned long long rate = std::strtoull(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0') return kDemoBytesPerSecond;
  return rate;
}

}  // namespace

DemoRelease::DemoRelease() = default;

DemoRelease::~DemoRelease() {
  // The server goes first: it reads from the folder.
  server_.reset();
  if (!root_.empty()) {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
}

bool DemoRelease::Start() {
  if (server_ || !root_.empty()) {
    error_ = "the demo release has been started already";
    return false;
  }
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "brenvik-demo-XXXXXX").string();
  if (ec || ::mkdtemp(pattern.data()) == nullptr) {
    error_ = "cannot make a folder for the demo release in the temporary folder";
    return false;
  }
  root_ = pattern;

  const fs::path files = root_ / kDemoVersion;
  bool written = WriteText(files / "Readme.txt", kReadme) &&
                 WriteText(files / "Install.exe",
                           std::string("#!/bin/sh\necho \"") + kDemoInstallerLine + "\"\n");
  for (const DemoFile& file : kDemoFiles) {
    written = written && WriteNumbers(files / file.name, file.size, file.seed);
  }
  if (!written) {
    error_ = "cannot write the demo release into " + root_.string();
    return false;
  }

  const ReleaseScan scan = ScanRelease(files);
  if (!scan.ok()) {
    error_ = scan.error;
    return false;
  }
  const std::string catalogue = FormatCatalogue(kDemoVersion, kDemoScratchSpace, scan.entries);
  const std::string signature =
      SignatureFileText(kDemoSigningKey, catalogue, "verify with the Brenvik demo key");
  if (signature.empty() || !WriteText(root_ / kCatalogueFileName, catalogue) ||
      !WriteText(root_ / (std::string(kCatalogueFileName) + kSignatureSuffix), signature)) {
    error_ = "cannot write and sign the demo's FileList.txt";
    return false;
  }

  server_ = std::make_unique<ReleaseServer>(root_, DemoRate());
  if (!server_->Start()) {
    error_ = "cannot start the demo's server on 127.0.0.1";
    server_.reset();
    return false;
  }
  return true;
}

std::string DemoRelease::BaseUrl() const { return server_ ? server_->Url() : std::string(); }

std::filesystem::path DemoRelease::FilesFolder() const {
  return root_.empty() ? fs::path() : root_ / "run";
}

std::string DemoRelease::Folder() const {
  std::error_code ec;
  const fs::path here = fs::current_path(ec);
  return WithTrailingSeparator(((ec ? fs::path(".") : here) / kDemoFolderName).string());
}

Options ApplyDemo(const Options& options, const DemoRelease& demo) {
  Options demo_options = options;
  demo_options.server = demo.BaseUrl();
  demo_options.files_folder = demo.FilesFolder();
  if (!demo_options.folder) demo_options.folder = demo.Folder();
  if (!demo_options.publisher_key) demo_options.publisher_key = kDemoPublicKey;
  return demo_options;
}

int RunDemo(const Options& options, const FaceRunner& run_face) {
  // The demo's server runs for as long as the face does.
  DemoRelease demo;
  if (!demo.Start()) {
    std::fprintf(stderr, "brenvik: the demo cannot start: %s\n", demo.Error().c_str());
    return kExitCancelled;
  }
  return run_face(ApplyDemo(options, demo),
                  "Demo: a sample release is served from " + demo.BaseUrl());
}

}  // namespace brenvik

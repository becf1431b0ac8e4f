#include "setup/setup_flow.h"

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "catalogue/text_lines.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/utf8_path.h"
#include "setup/mirror_fetch.h"
#include "texts/setup_texts.h"
#include "transfer/disk_space.h"
#include "transfer/transfer_callback.h"
#include "verify/signature.h"

namespace brenvik {

namespace {

// Where `file` is fetched to: beside itself, through "<name>.part". The
// catalogue and its signature are never taken from a cache: an old copy of
// either would install an old release or fail the check.
DownloadTarget TargetFor(const std::filesystem::path& file) {
  const std::string name = Utf8Of(file.filename());
  return DownloadTarget{
      .folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path("."),
      .name = name,
      .partial_name = name + ".part",
      .past_caches = true,
  };
}

// The Retry/Cancel question for a catalogue the publisher's key does not vouch for.
std::string SignatureQuestion(const std::string& what_failed) {
  return Format(kFileListSignatureError, what_failed.c_str());
}

std::string SignatureFailure(SignatureProblem problem, const std::string& detail) {
  return SignatureQuestion(SignatureErrorText({problem, detail}, kCatalogueFileName));
}

// The Retry/Cancel question for what arrived in place of a catalogue.
std::string NotACatalogueQuestion(const CatalogueError& error) {
  return Format(kFileListNotCatalogueError, WhatArrived(error).c_str());
}

// The signature file's name as the messages show it.
std::string SignatureName() { return std::string(kCatalogueFileName) + kSignatureSuffix; }

}  // namespace

SetupFlow::SetupFlow(SetupServices services) : services_(std::move(services)) {
  state_.info_text = std::string(kTryingToConnect) + services_.config.base_url;
}

void SetupFlow::Initialise() {
  if (services_.config.folder) {
    SetFolder(*services_.config.folder);
  } else if (services_.settings.Load(services_.config.settings_file)) {
    SetFolder(services_.settings.StoredFolder());
  } else {
    SetFolder(services_.config.default_folder);
  }
  state_.next_enabled = false;
  state_.cancel_enabled = false;
  state_.browse_enabled = false;
  Changed();
}

void SetupFlow::SetFolder(std::string folder) {
  state_.location = std::move(folder);
  // Choosing a folder ticks the install box again, even if it was cleared.
  state_.install_enabled = true;
  state_.install_checked = true;
  state_.next_enabled = true;
  Changed();
}

std::optional<std::string> SetupFlow::FetchOnce(const std::string& url) {
  state_.info_text = kDownloadingFileList;
  Changed();
  services_.callback.Attach(nullptr);
  DownloadTarget target = TargetFor(services_.config.catalogue_file);
  target.size_limit = kCatalogueFileLimit;
  const DownloadResult result = services_.download(url, target, services_.callback);
  if (result.too_large) {
    return NotACatalogueQuestion(CatalogueError{CatalogueError::Kind::kTooLarge, 0});
  }
  switch (result.outcome) {
    case DownloadOutcome::kOk:
      return std::nullopt;
    case DownloadOutcome::kAborted:
      return std::string();
    case DownloadOutcome::kLocalFailure:
      return Format(kFileListSaveError, result.reason.c_str());
    case DownloadOutcome::kServerFailure:
      break;
  }
  // A missing catalogue is most often a wrong server address: show it.
  const bool missing = result.http_status == 404 || result.http_status == 410;
  return std::string(kFileListRetryMessage) + "\n" + result.reason +
         (missing ? " for " + url : std::string());
}

std::optional<std::string> SetupFlow::CheckSignatureOnce(const std::string& url) {
  using enum SignatureProblem;
  verified_catalogue_.reset();
  const auto key = ParsePublicKey(services_.config.publisher_key);
  if (const auto* problem = std::get_if<std::string>(&key)) {
    return SignatureFailure(kMalformed, "the publisher key given to this program: " + *problem);
  }
  std::filesystem::path signature_file = services_.config.catalogue_file;
  signature_file += kSignatureSuffix;
  DownloadTarget target = TargetFor(signature_file);
  target.size_limit = kSignatureFileLimit;
  const DownloadResult result =
      services_.download(url + kSignatureSuffix, target, services_.callback);
  if (result.outcome == DownloadOutcome::kAborted) return std::string();
  if (result.outcome == DownloadOutcome::kLocalFailure) {
    return SignatureQuestion("the signature " + SignatureName() +
                             " could not be saved on this computer (" + result.reason + ")");
  }
  if (result.too_large) return SignatureFailure(kTooLarge, result.reason);
  if (result.http_status == 404 || result.http_status == 410) {
    return SignatureFailure(kMissing, "HTTP status " + std::to_string(result.http_status));
  }
  if (!result.Ok()) {
    return SignatureQuestion("the signature " + SignatureName() + " could not be downloaded (" +
                             result.reason + ")");
  }

  std::string signature;
  switch (ReadFileAtMost(signature_file, kSignatureFileLimit, signature)) {
    case SmallFileRead::kOk:
      break;
    case SmallFileRead::kTooLarge:
      return SignatureFailure(kTooLarge,
                              "more than " + std::to_string(kSignatureFileLimit) + " bytes");
    case SmallFileRead::kMissing:
    case SmallFileRead::kUnreadable:
      return SignatureQuestion("the signature " + SignatureName() +
                               " could not be read on this computer");
  }
  std::string catalogue;
  // An unreadable catalogue is reported as it is without a key, on loading.
  if (!ReadWholeFile(services_.config.catalogue_file, catalogue, kCatalogueFileLimit)) {
    return std::nullopt;
  }
  if (const auto error = CheckSignature(std::get<PublicKey>(key), signature, catalogue)) {
    signature_mismatch_ = true;
    return SignatureQuestion(SignatureErrorText(*error, kCatalogueFileName));
  }
  verified_catalogue_ = std::move(catalogue);
  return std::nullopt;
}

CatalogueResult SetupFlow::LoadFetchedCatalogue() const {
  if (services_.config.publisher_key.empty()) return LoadCatalogue(services_.config.catalogue_file);
  if (!verified_catalogue_) return CatalogueError{CatalogueError::Kind::kUnreadable, 0};
  return ParseCatalogue(*verified_catalogue_);
}

std::string SetupFlow::VersionText() const {
  std::string version = services_.catalogue.Version();
  const std::string word = kInstallFolderName;
  for (size_t at = version.find(word); at != std::string::npos; at = version.find(word, at)) {
    version.erase(at, word.size());
  }
  return version;
}

bool SetupFlow::FetchUntilCatalogue(const std::string& url, CatalogueResult& loaded) {
  bool fetched_again = false;
  for (;;) {
    std::optional<std::string> failure = FetchOnce(url);
    const char* info = kFileListDownloadError;
    signature_mismatch_ = false;
    if (!failure && !services_.config.publisher_key.empty()) {
      failure = CheckSignatureOnce(url);
      info = kFileListSignatureInfo;
    }
    if (!failure) {
      // Something that is no catalogue at all is the server's fault, asked
      // about like a failed fetch: nothing of it is shown or used.
      loaded = LoadFetchedCatalogue();
      const auto* error = std::get_if<CatalogueError>(&loaded);
      if (error != nullptr && error->NotACatalogue()) failure = NotACatalogueQuestion(*error);
      info = kFileListNotCatalogueInfo;
    }
    if (!failure) return true;
    // The publisher may have changed both files between the two requests:
    // one fresh fetch of both before the user is asked.
    if (signature_mismatch_ && !fetched_again) {
      fetched_again = true;
      continue;
    }
    state_.info_text = info;
    Changed();
    if (failure->empty() || services_.prompt.Ask(*failure, PromptButtons::kRetryCancel,
                                                 PromptIcon::kNone) != PromptAnswer::kRetry) {
      return false;
    }
  }
}

FetchOutcome SetupFlow::FetchCatalogue() {
  const std::string url = services_.config.base_url + kCatalogueFileName;
  MirrorListFetch mirror_list(services_.config, services_.side_download);
  CatalogueResult loaded;
  const bool fetched = FetchUntilCatalogue(url, loaded);
  state_.cancel_enabled = true;
  Changed();
  if (!fetched) return FetchOutcome::kGaveUp;

  if (const auto* error = std::get_if<CatalogueError>(&loaded)) {
    // A malformed line is the catalogue's fault, and its message says so: it
    // is closed before the flag stops anything. Only a file that cannot be
    // read here is blamed on this computer's folder.
    if (const std::string message = CatalogueErrorMessage(*error); !message.empty()) {
      services_.prompt.Ask(message, PromptButtons::kOk, PromptIcon::kNone);
      services_.abort.store(true);
    } else {
      services_.prompt.Ask(kFileListReadError, PromptButtons::kOk, PromptIcon::kNone);
    }
    return FetchOutcome::kQuit;
  }
  services_.catalogue = std::move(std::get<Catalogue>(loaded));
  MirrorFetch mirrors = mirror_list.Take(services_.download, services_.callback);
  if (mirrors.aborted) return FetchOutcome::kGaveUp;
  mirrors_ = std::move(mirrors.servers);
  // A list that is not used is the publisher's fault, said once; the run
  // goes on with the servers it has.
  if (!mirrors.problem.empty()) {
    (void)services_.prompt.Ask(mirrors.problem, PromptButtons::kOk, PromptIcon::kNone);
  }
  state_.mirrors_line = std::move(mirrors.used);
  state_.release = ReleaseSummary{VersionText(), services_.catalogue.Total() >> 20};
  state_.info_text = Format(kVersionFormat, state_.release->version.c_str(),
                            static_cast<unsigned long long>(state_.release->size_mb));
  Changed();

  if (!CheckDiskSpace(services_.temp_folder, services_.catalogue.ScratchSpaceNeed(),
                      kScratchSpaceLine, services_.prompt, services_.free_space)) {
    return FetchOutcome::kQuit;
  }
  if (!state_.location.empty()) state_.next_enabled = true;
  state_.browse_enabled = true;
  Changed();
  return FetchOutcome::kReady;
}

void SetupFlow::Browse() {
  for (;;) {
    std::optional<std::string> picked = services_.picker.PickFolder(kPickerTitle);
    if (!picked || picked->empty()) return;  // the shown folder stays
    const std::string folder = WithTrailingSeparator(*picked);
    if (!CheckDiskSpace(folder, services_.catalogue.Total(), kSelectAnotherFolderLine,
                        services_.prompt, services_.free_space)) {
      continue;  // pick another folder
    }
    SetFolder(folder + kInstallFolderName + kSeparator);
    return;
  }
}

std::optional<Handover> SetupFlow::Next() {
  const std::string folder = state_.location;
  if (EqualIgnoringAsciiCase(folder, services_.config.default_folder)) {
    // The default folder and its parent are made here; any other folder is
    // made when the run stores it.
    std::error_code ignored;
    const std::filesystem::path leaf = PathFromUtf8(folder).parent_path();
    std::filesystem::create_directory(leaf.parent_path(), ignored);
    std::filesystem::create_directory(leaf, ignored);
  }
  if (!CheckDiskSpace(folder, services_.catalogue.Total(), kSelectAnotherFolderLine,
                      services_.prompt, services_.free_space)) {
    return std::nullopt;
  }
  return Handover{folder, state_.install_enabled && state_.install_checked};
}

}  // namespace brenvik

#include "setup/mirror_fetch.h"

#include <chrono>

#include "catalogue/mirror_list.h"
#include "platform/prompt.h"
#include "platform/utf8_path.h"
#include "texts/setup_texts.h"
#include "transfer/download_service.h"
#include "transfer/url_text.h"
#include "verify/signature.h"

namespace brenvik {

namespace {

// Where `name` is fetched to: beside the catalogue file, past any cache
// (an old list would send the run to servers the publisher dropped).
DownloadTarget TargetBesideCatalogue(const SessionConfig& config, const std::string& name,
                                     uint64_t limit) {
  const std::filesystem::path folder = config.catalogue_file.has_parent_path()
                                           ? config.catalogue_file.parent_path()
                                           : std::filesystem::path(".");
  return DownloadTarget{.folder = folder,
                        .name = name,
                        .partial_name = name + ".part",
                        .size_limit = limit,
                        .past_caches = true};
}

bool Missing(const DownloadResult& result) {
  return result.http_status == 404 || result.http_status == 410;
}

// Fetches `name` from the chosen server and reads it; empty `why` when it
// arrived, "missing" when the server has none.
std::string FetchText(const SessionConfig& config, const DownloadFunction& download,
                      TransferCallback& callback, const std::string& name, uint64_t limit,
                      std::string& text, bool& aborted) {
  const DownloadTarget target = TargetBesideCatalogue(config, name, limit);
  const DownloadResult result = download(config.base_url + name, target, callback);
  aborted = result.outcome == DownloadOutcome::kAborted;
  if (result.too_large) return "larger than " + std::to_string(limit) + " bytes";
  if (!result.Ok()) return Missing(result) ? "missing" : result.reason;
  if (ReadFileAtMost(target.folder / PathFromUtf8(name), limit, text) != SmallFileRead::kOk) {
    return "it could not be read on this computer";
  }
  return {};
}

// Why the publisher's key does not vouch for `list`; empty when it does.
std::string SignatureRefusal(const SessionConfig& config, const DownloadFunction& download,
                             TransferCallback& callback, const std::string& list, bool& aborted) {
  const auto key = ParsePublicKey(config.publisher_key);
  if (const auto* problem = std::get_if<std::string>(&key)) return *problem;
  const std::string name = std::string(kMirrorListFileName) + kSignatureSuffix;
  std::string signature;
  const std::string why =
      FetchText(config, download, callback, name, kSignatureFileLimit, signature, aborted);
  if (why == "missing") {
    return SignatureErrorText({SignatureProblem::kMissing, {}}, kMirrorListFileName);
  }
  if (!why.empty()) return "the signature " + name + " could not be downloaded (" + why + ")";
  if (const auto error = CheckSignature(std::get<PublicKey>(key), signature, list)) {
    return SignatureErrorText(*error, kMirrorListFileName);
  }
  return {};
}

std::string UsedLine(const SessionConfig& config, const std::vector<std::string>& servers) {
  std::string hosts;
  for (const std::string& server : servers) {
    hosts += (hosts.empty() ? "" : ", ") + AuthorityOf(server);
  }
  return Format(kMirrorsUsedFormat, hosts.c_str(), AuthorityOf(config.base_url).c_str());
}

}  // namespace

MirrorFetch FetchMirrorList(const SessionConfig& config, const DownloadFunction& download,
                            TransferCallback& callback) {
  MirrorFetch fetch;
  const std::string chosen = AuthorityOf(config.base_url);
  std::string text;
  const std::string why = FetchText(config, download, callback, kMirrorListFileName,
                                    kMirrorListFileLimit, text, fetch.aborted);
  if (fetch.aborted || why == "missing") return fetch;
  if (!why.empty()) {
    fetch.problem = Format(kMirrorsNotFetchedFormat, why.c_str(), chosen.c_str());
    return fetch;
  }
  if (!config.publisher_key.empty()) {
    const std::string refusal = SignatureRefusal(config, download, callback, text, fetch.aborted);
    if (fetch.aborted) return fetch;
    if (!refusal.empty()) {
      fetch.problem = Format(kMirrorsNotSignedFormat, refusal.c_str(), chosen.c_str());
      return fetch;
    }
  }
  const MirrorList list = ParseMirrorList(text);
  for (const std::string& ignored : list.ignored) {
    fetch.problem +=
        (fetch.problem.empty() ? "" : "\n") + Format(kMirrorLineIgnoredFormat, ignored.c_str());
  }
  for (const std::string& server : list.servers) {
    if (server != config.base_url) fetch.servers.push_back(server);
  }
  if (!fetch.servers.empty()) fetch.used = UsedLine(config, fetch.servers);
  return fetch;
}

MirrorListFetch::MirrorListFetch(const SessionConfig& config, const DownloadFunction& side_download)
    : config_(config) {
  if (!side_download) return;
  side_ = std::async(std::launch::async, [this, side_download] {
    return FetchMirrorList(config_, side_download, side_callback_);
  });
}

MirrorListFetch::~MirrorListFetch() {
  stop_.store(true);
  if (side_.valid()) side_.wait();
}

MirrorFetch MirrorListFetch::Take(const DownloadFunction& download, TransferCallback& callback) {
  if (!side_.valid()) return FetchMirrorList(config_, download, callback);
  constexpr std::chrono::milliseconds kLook{50};
  while (side_.wait_for(kLook) != std::future_status::ready) {
    if (!callback.KeepAlive()) stop_.store(true);
  }
  MirrorFetch fetch = side_.get();
  if (stop_.load()) fetch.aborted = true;
  if (fetch.aborted || fetch.problem.empty()) return fetch;
  return FetchMirrorList(config_, download, callback);
}

}  // namespace brenvik

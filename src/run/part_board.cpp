#include "run/part_board.h"

#include <algorithm>

namespace brenvik {

namespace {

// Where parts are cut: a multiple of this, so parts start on whole blocks.
constexpr uint64_t kCutAlignment = 64 * 1024;

uint64_t DoneOf(const SplitFile& file) {
  uint64_t done = file.size;
  for (const FilePart& part : file.parts) done -= part.Left();
  return done;
}

}  // namespace

uint64_t FilePart::Left() const {
  const uint64_t to = end.load();
  const uint64_t at = start + written.load();
  return to > at ? to - at : 0;
}

bool FilePart::SlowEnoughToSplit(std::chrono::steady_clock::time_point now) const {
  const auto watched = std::chrono::duration_cast<std::chrono::milliseconds>(now - taken);
  if (lane < 0 || watched < kRateWatch) return false;
  const uint64_t so_far = written.load();
  const uint64_t came = so_far - std::min(so_far, written_when_taken);
  // Nothing came while it was watched: the part is slow indeed.
  if (came == 0) return true;
  const double ms_left = static_cast<double>(Left()) * static_cast<double>(watched.count()) /
                         static_cast<double>(came);
  return ms_left >= static_cast<double>(kSplitWorth.count());
}

void PartCounter::Begin(uint64_t offset) {
  // A part's download begins where the part's written bytes end; a whole
  // download that starts over from 0 begins the part afresh.
  part_.written.store(offset > part_.start ? offset - part_.start : 0);
  board_.Recount(file_);
  if (next_ != nullptr) next_->Begin(offset);
}

void PartCounter::Add(const char* data, size_t size) {
  part_.written.fetch_add(size);
  const uint64_t done = file_.done.load();
  file_.done.fetch_add(std::min<uint64_t>(size, file_.size - std::min(file_.size, done)));
  if (next_ != nullptr) next_->Add(data, size);
}

SplitFile& PartBoard::Open(int row, uint64_t size, int lane) {
  std::lock_guard lock(mutex_);
  SplitFile& file = files_.emplace_back(row, size);
  FilePart& part = file.parts.emplace_back(0, size);
  part.lane = lane;
  part.taken = std::chrono::steady_clock::now();
  return file;
}

SplitFile& PartBoard::OpenKept(int row, uint64_t size, const DownloadService::KeptParts& kept) {
  std::lock_guard lock(mutex_);
  SplitFile& file = files_.emplace_back(row, size);
  file.validator = kept.validator;
  for (const auto& [start, end] : kept.missing) file.parts.emplace_back(start, end);
  file.done.store(DoneOf(file));
  return file;
}

void PartBoard::Offer(SplitFile& file, const std::string& validator) {
  std::lock_guard lock(mutex_);
  if (!file.broken) file.validator = validator;
}

std::optional<PartJob> PartBoard::JobFor(SplitFile& file, FilePart& part, int lane,
                                         std::chrono::steady_clock::time_point now) {
  part.lane = lane;
  part.taken = now;
  part.written_when_taken = part.written.load();
  return PartJob{.file = &file,
                 .part = &part,
                 .from = part.start + part.written.load(),
                 .validator = file.validator};
}

std::optional<PartJob> PartBoard::TakeAny(int lane, std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  std::optional<PartJob> job;
  for (auto file = files_.begin(); !job && file != files_.end(); ++file) {
    job = FreePartOf(*file, lane, now);
  }
  if (!job) job = SplitLargest(lane, now);
  if (job) {
    seeking_.erase(lane);
  } else {
    seeking_.insert(lane);
  }
  return job;
}

void PartBoard::NotSeeking(int lane) {
  std::lock_guard lock(mutex_);
  seeking_.erase(lane);
}

bool PartBoard::AnyOpen() {
  std::lock_guard lock(mutex_);
  return !files_.empty();
}

std::optional<PartJob> PartBoard::SplitLargest(int lane,
                                               std::chrono::steady_clock::time_point now) {
  SplitFile* best_file = nullptr;
  FilePart* best = nullptr;
  size_t splittable_files = 0;
  for (SplitFile& file : files_) {
    if (file.broken || file.validator.empty()) continue;
    bool splittable = false;
    for (FilePart& part : file.parts) {
      if (!part.SlowEnoughToSplit(now) || part.Left() < 2 * kSmallestPart) continue;
      splittable = true;
      if (best == nullptr || part.Left() > best->Left()) {
        best_file = &file;
        best = &part;
      }
    }
    if (splittable) ++splittable_files;
  }
  if (best == nullptr) return std::nullopt;
  // This lane and the others waiting share the splittable files: the part
  // gives this lane the share that leaves it and the lanes still to come
  // for its file equal shares.
  const size_t lanes = 1 + seeking_.size() - seeking_.count(lane);
  const uint64_t joining = (lanes + splittable_files - 1) / splittable_files;
  const uint64_t share = std::max(kSmallestPart, best->Left() / (joining + 1));
  const uint64_t end = best->end.load();
  const uint64_t cut = (end - share) / kCutAlignment * kCutAlignment;
  // The running download stops at the cut; the new part takes what follows.
  FilePart& tail = best_file->parts.emplace_back(cut, end);
  best->end.store(cut);
  return JobFor(*best_file, tail, lane, now);
}

std::optional<PartJob> PartBoard::TakeOf(SplitFile& file, int lane) {
  std::lock_guard lock(mutex_);
  return FreePartOf(file, lane, std::chrono::steady_clock::now());
}

std::optional<PartJob> PartBoard::FreePartOf(SplitFile& file, int lane,
                                             std::chrono::steady_clock::time_point now) {
  if (file.broken || file.validator.empty()) return std::nullopt;
  for (FilePart& part : file.parts) {
    if (part.lane < 0 && part.Left() > 0) return JobFor(file, part, lane, now);
  }
  return std::nullopt;
}

void PartBoard::Release(FilePart& part) {
  std::lock_guard lock(mutex_);
  part.lane = -1;
}

void PartBoard::SetWholeRunning(SplitFile& file, bool running) {
  std::lock_guard lock(mutex_);
  file.whole_running = running;
}

bool PartBoard::Split(SplitFile& file) {
  std::lock_guard lock(mutex_);
  return file.parts.size() > 1;
}

void PartBoard::Break(SplitFile& file) {
  std::lock_guard lock(mutex_);
  file.broken = true;
  for (FilePart& part : file.parts) {
    if (&part != &file.parts.front()) part.end.store(part.start + part.written.load());
  }
  // The whole transfer fetches everything after its own part again, from
  // the one answer it has: nothing of two versions is ever joined.
  if (file.whole_running) file.parts.front().end.store(file.size);
}

bool PartBoard::Broken(SplitFile& file) {
  std::lock_guard lock(mutex_);
  return file.broken;
}

bool PartBoard::Complete(SplitFile& file) {
  std::lock_guard lock(mutex_);
  return std::all_of(file.parts.begin(), file.parts.end(),
                     [](const FilePart& part) { return part.lane < 0 && part.Left() == 0; });
}

uint64_t PartBoard::WrittenPrefix(SplitFile& file) {
  std::lock_guard lock(mutex_);
  // A broken file's parts no longer say what is written.
  if (file.broken) return 0;
  // The parts cover what is missing; outside them everything is written.
  uint64_t prefix = file.size;
  for (const FilePart& part : file.parts) {
    if (part.Left() > 0) prefix = std::min(prefix, part.start + part.written.load());
  }
  return prefix;
}

bool PartBoard::Idle(SplitFile& file) {
  std::lock_guard lock(mutex_);
  return std::all_of(file.parts.begin(), file.parts.end(),
                     [](const FilePart& part) { return part.lane < 0; });
}

DownloadService::KeptParts PartBoard::Kept(SplitFile& file) {
  std::lock_guard lock(mutex_);
  DownloadService::KeptParts kept{.validator = file.validator};
  for (const FilePart& part : file.parts) {
    if (part.Left() > 0) {
      kept.missing.emplace_back(part.start + part.written.load(), part.end.load());
    }
  }
  std::sort(kept.missing.begin(), kept.missing.end());
  return kept;
}

void PartBoard::Recount(SplitFile& file) {
  std::lock_guard lock(mutex_);
  file.done.store(DoneOf(file));
}

void PartBoard::Close(SplitFile& file) {
  std::lock_guard lock(mutex_);
  files_.remove_if([&](const SplitFile& held) { return &held == &file; });
}

}  // namespace brenvik

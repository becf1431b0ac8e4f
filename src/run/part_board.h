#pragma once
// The large files being fetched in parts. A download worker that starts a
// file of at least kSplitFrom bytes opens it here as one part, [0, size),
// which it fetches whole; once the server showed that it serves parts of
// the file (ranges under a strong validator), a worker that would
// otherwise idle takes the tail of what is left of the part with the most
// left, and that part's end moves down to where the new one starts. The
// tail is half of it, or less when other idle workers are waiting to join
// too: each takes its share of the file then, so the parts end together
// (three that join a file's one part together take a quarter each). Each
// part is written in place into the one partial file. A part cut short is
// free again, its written bytes kept, and the next taker continues it; the
// file is done when every part is written and no worker holds one.
//
// When a server answers a part with the whole file, or with another
// version of it, the file is broken: no part is handed out any more, the
// other parts stop, and the worker that owns the file either fetches it
// whole (its own transfer had not stopped yet) or starts it over.
//
// Thread safety: every member may be used from any thread (one mutex). The
// counts a download writes through (a part's end, the file's bytes done)
// are atomics, read by the download without the mutex. A file and its
// parts live until its owner closes it, after every worker left them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "transfer/download_service.h"

namespace brenvik {

// A part is split only when both halves keep at least this much, and only
// when, at the rate its download has had for at least kRateWatch, what is
// left of it would take kSplitWorth or more: on a fast line a split saves
// nothing and costs the check a read of the file.
inline constexpr uint64_t kSmallestPart = 4ull << 20;
inline constexpr std::chrono::milliseconds kRateWatch{100};
inline constexpr std::chrono::milliseconds kSplitWorth{1000};
// Files from this size on may come in parts.
inline constexpr uint64_t kSplitFrom = 2 * kSmallestPart;

struct FilePart {
  FilePart(uint64_t from, uint64_t to) : start(from), end(to) {}
  const uint64_t start;
  std::atomic<uint64_t> end;         // exclusive; moves down when another part takes the tail
  std::atomic<uint64_t> written{0};  // bytes from start on disk
  // Guarded by the board's mutex: the lane fetching it, and when it took
  // the part with how much was written then.
  int lane = -1;
  std::chrono::steady_clock::time_point taken{};
  uint64_t written_when_taken = 0;
  uint64_t Left() const;
  // True when what is left would take kSplitWorth or more at the rate
  // since the part was taken (known after kRateWatch).
  bool SlowEnoughToSplit(std::chrono::steady_clock::time_point now) const;
};

struct SplitFile {
  SplitFile(int for_row, uint64_t file_size) : row(for_row), size(file_size) {}
  const int row;
  const uint64_t size;
  std::atomic<uint64_t> done{0};  // bytes on disk over all parts
  // The server whose validator the parts carry, preferred for every part
  // while it is awake; -1 for a file continued from a cut run.
  std::atomic<int> server{-1};
  // Guarded by the board's mutex:
  std::string validator;  // empty until the server showed it serves parts
  bool broken = false;
  bool whole_running = false;  // the owner's whole transfer (the first part) runs
  std::deque<FilePart> parts;  // in the order they were made; a deque keeps them in place
};

// What a worker is to fetch: the part `part` of `file`, from its first
// missing byte.
struct PartJob {
  SplitFile* file = nullptr;
  FilePart* part = nullptr;
  uint64_t from = 0;
  std::string validator;
};

// Sees the bytes a part's download writes and keeps the part's and the
// file's counts; passes them on to `next` (the arrival digest) when set.
class PartBoard;
class PartCounter final : public WrittenBytes {
 public:
  PartCounter(PartBoard& board, SplitFile& file, FilePart& part, WrittenBytes* next = nullptr)
      : board_(board), file_(file), part_(part), next_(next) {}
  void Begin(uint64_t offset) override;
  void Add(const char* data, size_t size) override;

 private:
  PartBoard& board_;
  SplitFile& file_;
  FilePart& part_;
  WrittenBytes* next_;
};

class PartBoard {
 public:
  // A file whose whole download starts now in `lane`: one part, [0, size).
  SplitFile& Open(int row, uint64_t size, int lane);
  // A file continued from the parts a cut download left missing: each a
  // free part, the rest counted as done.
  SplitFile& OpenKept(int row, uint64_t size, const DownloadService::KeptParts& kept);
  // The server serves parts of the file under `validator`.
  void Offer(SplitFile& file, const std::string& validator);

  // For a lane with nothing else to do: a free part of a file, else the
  // tail of what is left of the part with the most left, the parts' rates
  // judged at `now`. A lane that finds nothing counts as waiting for a part
  // until it takes one or a row (NotSeeking).
  std::optional<PartJob> TakeAny(
      int lane, std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  // The lane has other work: it no longer waits for a part.
  void NotSeeking(int lane);
  // True while a file is open here, whose parts a waiting lane may soon take.
  bool AnyOpen();
  // For the file's owner: a free part of its file.
  std::optional<PartJob> TakeOf(SplitFile& file, int lane);
  // The lane no longer fetches the part.
  void Release(FilePart& part);

  // Marks the owner's whole transfer (of the first part) as running or not.
  void SetWholeRunning(SplitFile& file, bool running);
  // A part was answered with the whole file or another version: no more
  // parts; every part but the first stops where it is, and the first, when
  // the owner's whole transfer still runs, runs to the file's end.
  void Break(SplitFile& file);
  // True when the file has more than one part.
  bool Split(SplitFile& file);
  bool Broken(SplitFile& file);
  // Every part written and no lane holds one.
  bool Complete(SplitFile& file);
  // How far the file is written without a gap: every byte before it is on
  // disk (the file's size once every part is); 0 once the file broke.
  uint64_t WrittenPrefix(SplitFile& file);
  // No lane holds a part.
  bool Idle(SplitFile& file);
  // What is still missing and the validator of what is there, read
  // together, for keeping beside the partial file.
  DownloadService::KeptParts Kept(SplitFile& file);
  // Only once Idle.
  void Close(SplitFile& file);
  // Counts the file's bytes done afresh from its parts.
  void Recount(SplitFile& file);

 private:
  static std::optional<PartJob> JobFor(SplitFile& file, FilePart& part, int lane,
                                       std::chrono::steady_clock::time_point now);
  // A part of `file` no lane holds and not yet written, when the file may
  // be fetched in parts.
  static std::optional<PartJob> FreePartOf(SplitFile& file, int lane,
                                           std::chrono::steady_clock::time_point now);
  std::optional<PartJob> SplitLargest(int lane, std::chrono::steady_clock::time_point now);

  std::mutex mutex_;
  std::list<SplitFile> files_;  // a list keeps them in place
  std::set<int> seeking_;       // lanes that found no part and wait for one
};

}  // namespace brenvik

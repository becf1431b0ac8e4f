#include "platform/output_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/console_io.h"

namespace brenvik {

namespace {

constexpr std::chrono::milliseconds kStopCheck{50};
// The most the writer joins into one write.
constexpr size_t kMostJoinedBytes = 64 * 1024;

struct Piece {
  std::FILE* stream;
  std::string text;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable work;     // the writer waits here for pieces
  std::condition_variable changed;  // the others wait here for room or an empty queue
  int waiting = 0;                  // how many wait on `changed`
  std::deque<Piece> pieces;
  size_t bytes = 0;       // queued, the piece being written included
  bool writing = false;   // the writer holds a piece it has not finished
  bool started = false;   // the writer thread runs
  bool given_up = false;  // FlushQueuedText gave up: nothing more is written
};

// Never destroyed: the writer thread may still be blocked in a write when
// the process ends, and must not find its queue gone.
Queue& TheQueue() {
  static Queue* const queue = new Queue;
  return *queue;
}

// The pieces at the front of the queue that go to the same stream, joined
// into one text: a run of thousands of files queues a line per change, and
// one write (and one wake-up) for many of them keeps the writer cheap.
Piece TakeJoined(Queue& queue) {
  Piece joined = std::move(queue.pieces.front());
  queue.pieces.pop_front();
  while (!queue.pieces.empty() && queue.pieces.front().stream == joined.stream &&
         joined.text.size() + queue.pieces.front().text.size() <= kMostJoinedBytes) {
    joined.text += queue.pieces.front().text;
    queue.pieces.pop_front();
  }
  return joined;
}

void WriteQueued(Queue& queue) {
  MarkOutputWriterThread();
  std::unique_lock lock(queue.mutex);
  for (;;) {
    queue.work.wait(lock, [&] { return !queue.pieces.empty(); });
    Piece piece = TakeJoined(queue);
    queue.writing = true;
    lock.unlock();
    WriteText(piece.stream, piece.text);
    lock.lock();
    queue.writing = false;
    queue.bytes -= piece.text.size();
    if (queue.waiting > 0) queue.changed.notify_all();
  }
}

// Waits on `changed` for at most kStopCheck, counted in `waiting`.
void WaitForChange(Queue& queue, std::unique_lock<std::mutex>& lock) {
  ++queue.waiting;
  queue.changed.wait_for(lock, kStopCheck);
  --queue.waiting;
}

// Waits for room for `size` more bytes; false when `stop` (or its absence) says not to.
bool WaitForRoom(Queue& queue, std::unique_lock<std::mutex>& lock, size_t size,
                 const std::atomic<bool>* stop) {
  // A text larger than the whole queue goes in once the queue is empty.
  const auto room = [&] { return queue.bytes == 0 || queue.bytes + size <= kMostQueuedBytes; };
  while (!room()) {
    if (stop == nullptr || stop->load() || queue.given_up) return false;
    WaitForChange(queue, lock);
  }
  return !queue.given_up;
}

}  // namespace

bool QueueText(std::FILE* stream, std::string text, const std::atomic<bool>* stop) {
  if (text.empty()) return true;
  if (!MayBlockOnReader(stream)) {
    WriteText(stream, text);
    return true;
  }
  Queue& queue = TheQueue();
  std::unique_lock lock(queue.mutex);
  if (!WaitForRoom(queue, lock, text.size(), stop)) return false;
  queue.bytes += text.size();
  // The writer waits only while the queue is empty.
  const bool wake = queue.pieces.empty();
  queue.pieces.push_back({stream, std::move(text)});
  if (!queue.started) {
    queue.started = true;
    std::thread(WriteQueued, std::ref(queue)).detach();
  }
  if (wake) queue.work.notify_one();
  return true;
}

bool FlushQueuedText(const std::atomic<bool>& stop, std::chrono::milliseconds grace) {
  Queue& queue = TheQueue();
  std::unique_lock lock(queue.mutex);
  std::optional<std::chrono::steady_clock::time_point> give_up_at;
  while (queue.bytes > 0 && !queue.given_up) {
    const auto now = std::chrono::steady_clock::now();
    if (!give_up_at && stop.load()) give_up_at = now + grace;
    if (give_up_at && now >= *give_up_at) {
      queue.given_up = true;
      queue.bytes -= [&] {
        size_t dropped = 0;
        for (const Piece& piece : queue.pieces) dropped += piece.text.size();
        return dropped;
      }();
      queue.pieces.clear();
      if (queue.writing) CancelBlockedOutputWrite();
      queue.changed.notify_all();
      return false;
    }
    WaitForChange(queue, lock);
  }
  return queue.bytes == 0;
}

}  // namespace brenvik

#pragma once
// Writing to the program's output streams without ever being held up by
// them. Standard output may be a pipe nobody reads or a terminal whose
// output is stopped; a write there blocks until someone reads, and a
// thread stuck in it could neither see Ctrl-C nor let a run end. Text for
// such a stream therefore goes into a queue that one thread of its own
// writes out, in order, with WriteText (platform/console_io.h); text for a
// file on disk, which never waits for a reader, is written at once.
//
// The queue holds at most kMostQueuedBytes. Past that a caller that gives
// a stop flag waits for room until the flag is set, and one that gives
// none (a worker, which must never wait on the output) has its text
// dropped.
//
// Thread safety: any thread. The writer thread is started by the first
// queued text and lives until the process ends; whatever it is blocked in
// then ends with the process (POSIX) or is cancelled by
// FlushQueuedText giving up (Windows).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

namespace brenvik {

inline constexpr size_t kMostQueuedBytes = size_t{4} << 20;

// Writes `text` to `stream` whole, or queues it for the writer thread.
// False when it was dropped: the queue stayed full until `stop` was set
// (at once when `stop` is null).
bool QueueText(std::FILE* stream, std::string text, const std::atomic<bool>* stop);

// Waits until everything queued has been written. Once `stop` is set it
// waits `grace` more at most and then gives up: what is still queued is
// dropped and a write the writer is blocked in is cancelled where the
// system can. True when everything was written.
bool FlushQueuedText(const std::atomic<bool>& stop, std::chrono::milliseconds grace);

}  // namespace brenvik

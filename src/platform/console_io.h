#pragma once
// The console as the terminal face and main meet the operating system:
// whether a stream is a terminal and how large it is, waiting for input with
// a time-out and reading it, the keys and requests that ask the program to
// stop, and the program's console in UTF-8.
//
// POSIX: isatty, TIOCGWINSZ, poll and read, SIGINT and SIGTERM.
// Windows: the console functions; a redirected stream is a file or a pipe
// and is read as bytes. Text that crosses these calls is UTF-8.
//
// Thread safety: plain functions, any thread. Each class is used by the
// thread that made it; InterruptCatcher's flag is set from wherever the
// system delivers the request.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

struct TerminalSize {
  int rows = 0;
  int columns = 0;
};

// An output stream, set up for as long as this object lives to take
// terminal commands (cursor movement, scrolling regions) when it can. On
// Windows that means turning on virtual-terminal processing on the output
// console; its mode is restored by the destructor.
class TerminalOutput {
 public:
  explicit TerminalOutput(std::FILE* stream);
  ~TerminalOutput();
  TerminalOutput(const TerminalOutput&) = delete;
  TerminalOutput& operator=(const TerminalOutput&) = delete;

  // POSIX: a tty whose TERM is set and not "dumb". Windows: a console that
  // accepted virtual-terminal processing and is seen to obey a command
  // (not a file, a pipe, an old console or one that prints the commands).
  bool TakesCommands() const { return takes_commands_; }
  // The visible size as the terminal reports it; nullopt when it cannot
  // say. A side it reports as 0 (a pseudo-terminal whose size nobody set)
  // is unknown.
  std::optional<TerminalSize> Size() const;

 private:
  std::FILE* stream_;
  bool takes_commands_ = false;
  unsigned long restore_mode_ = 0;  // Windows: the console mode found
  bool restore_ = false;
};

// Writes `text` (UTF-8) to `stream` in one piece: what the stream buffered
// goes first, then the text straight to the system, so nothing is left in
// the stream's buffer for the program's end to write (and wait on). A file
// is written holding the stream's own lock, so another thread's write on
// the same stream never lands in the middle. A Windows console gets the
// text as UTF-16, which it shows whatever its code page and the C
// runtime's locale; a file or a pipe gets the bytes as they are. This may
// block as long as a reader keeps it waiting: platform/output_queue.h
// writes from a thread of its own.
void WriteText(std::FILE* stream, std::string_view text);

// True when a write to `stream` may wait for a reader: anything but a file
// on disk (a pipe, a terminal, a console, a device).
bool MayBlockOnReader(std::FILE* stream);

// Called by the thread that writes queued output, once, so that
// CancelBlockedOutputWrite can reach it.
void MarkOutputWriterThread();
// Ends a write the marked thread is blocked in (Windows: its pending
// synchronous I/O is cancelled, so it lets go of the stream before the
// program's end needs it). POSIX: nothing; the blocked write holds nothing
// the program's end waits for, and ends with the process.
void CancelBlockedOutputWrite();

// True when descriptor `fd` is a terminal (a console on Windows): someone
// may be there to answer.
bool IsInteractiveInput(int fd);

enum class InputWait {
  kReady,     // a read would not block: data, the end of the input, or a failure
  kTimedOut,  // nothing yet (or a signal arrived): check your flags and wait again
};

// Waits up to `timeout` for input on `fd`. On a Windows console, input only
// counts once a key has been typed; other events (focus, mouse, key releases)
// are taken off the queue.
InputWait WaitForInput(int fd, std::chrono::milliseconds timeout);

// Reads what `fd` has, at most `size` bytes (at least 8): the count, 0 at
// the end of the input, or -1 with errno set (EINTR or EAGAIN: try again).
// A Windows console's typed line comes as UTF-8, and a line that starts
// with Ctrl-Z ends the input, as it does for other console programs there.
long long ReadInput(int fd, char* buffer, size_t size);

// While it lives, the requests to stop set `flag` instead of ending the
// program: POSIX SIGINT and SIGTERM; Windows Ctrl-C, Ctrl-Break, closing
// the console window, logging off and shutting down. Windows ends the
// program once a close, logoff or shutdown handler returns, so that handler
// waits (a few seconds at most) for this object's end, giving the program
// time to stop its run and save what it has. One at a time per program; the
// previous handling is back after it.
class InterruptCatcher {
 public:
  explicit InterruptCatcher(std::atomic<bool>& flag);
  ~InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};

// For as long as it lives, the program's console takes output bytes as
// UTF-8 (Windows: the console output code page, restored by the
// destructor), for whatever reaches it without WriteText. Nothing to do on
// POSIX, whose terminals take the bytes as they are.
class Utf8ConsoleOutput {
 public:
  Utf8ConsoleOutput();
  ~Utf8ConsoleOutput();
  Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
  Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;

 private:
  unsigned int restore_code_page_ = 0;  // 0: nothing to restore
};

// The program's arguments, the program's name first, as UTF-8: argv as it
// is on POSIX; on Windows taken from the wide command line, since argv is in
// the ANSI code page there and loses every character it lacks.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// For a program of the Windows window subsystem, which starts without a
// console: standard input, output and error are made to reach the console
// of the process that started this one (a command prompt), or, with
// `allocate`, a console of its own when there is none, so that the console
// face, --help and the usage message work as in a console program. A
// stream that already leads somewhere (a file, a pipe, a console) keeps it,
// and so does its descriptor (0, 1, 2). Nothing to do on POSIX.
void ConnectStandardStreams(bool allocate);

// Makes `stream` pass its bytes through as they are: on Windows the C
// runtime would otherwise turn every "\n" into "\r\n". Nothing to do on
// POSIX.
void UseBinaryMode(std::FILE* stream);

}  // namespace brenvik

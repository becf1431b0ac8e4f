// windows.h first: the shell header builds on its definitions.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>

#include "platform/console_io.h"
#include "platform/file_io.h"
#include "platform/wide_text.h"

namespace brenvik {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long a close, logoff or shutdown request waits for the program to
// stop its run; Windows ends the program after its own limit anyway.
constexpr DWORD kMostCloseWaitMs = 10'000;
constexpr DWORD kCloseWaitStepMs = 50;
// How often a pipe is looked at while waiting for its writer.
constexpr DWORD kPipePollMs = 10;

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

bool IsConsole(HANDLE handle, DWORD* mode = nullptr) {
  DWORD found = 0;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !::GetConsoleMode(handle, &found)) {
    return false;
  }
  if (mode != nullptr) *mode = found;
  return true;
}

milliseconds Left(steady_clock::time_point deadline) {
  return std::max(milliseconds(0),
                  std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()));
}

bool IsTypedCharacter(const INPUT_RECORD& record) {
  return record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
         record.Event.KeyEvent.uChar.UnicodeChar != L'\0';
}

// A console's handle is signalled by every event; only a typed character
// means a line read has something to start on.
InputWait WaitForKey(HANDLE console, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    const DWORD waited = ::WaitForSingleObject(console, static_cast<DWORD>(Left(deadline).count()));
    if (waited == WAIT_TIMEOUT) return InputWait::kTimedOut;
    if (waited != WAIT_OBJECT_0) return InputWait::kReady;  // the read reports the failure
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!::PeekConsoleInputW(console, records, 64, &count)) return InputWait::kReady;
    if (std::any_of(records, records + count, IsTypedCharacter)) return InputWait::kReady;
    // Only events a line read skips: taken off, or the handle stays signalled.
    ::ReadConsoleInputW(console, records, count, &count);
    if (Left(deadline).count() == 0) return InputWait::kTimedOut;
  }
}

// An anonymous pipe cannot be waited on: it is looked at until its writer
// has written something or gone.
InputWait WaitForPipe(HANDLE pipe, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
      return InputWait::kReady;
    }
    if (Left(deadline).count() == 0) return InputWait::kTimedOut;
    ::Sleep(std::min<DWORD>(kPipePollMs, static_cast<DWORD>(Left(deadline).count())));
  }
}

// A typed line from the console, as UTF-8. At most size / 3 UTF-16 units
// are read, which never take more than `size` bytes in UTF-8.
long long ReadConsoleText(HANDLE console, char* buffer, size_t size) {
  wchar_t wide[256];
  const DWORD most = static_cast<DWORD>(std::min<size_t>(size / 3, std::size(wide))) - 1;
  DWORD got = 0;
  if (!::ReadConsoleW(console, wide, most, &got, nullptr)) {
    errno = ::GetLastError() == ERROR_OPERATION_ABORTED ? EINTR : EIO;
    return -1;
  }
  // Ctrl-C during the read ends it with nothing read.
  if (got == 0) {
    errno = EINTR;
    return -1;
  }
  // A character beyond the basic plane is not split between two reads.
  if (IS_HIGH_SURROGATE(wide[got - 1])) {
    DWORD more = 0;
    if (::ReadConsoleW(console, wide + got, 1, &more, nullptr)) got += more;
  }
  if (wide[0] == 0x1A) return 0;  // Ctrl-Z: the end of the input
  const std::string text = Utf8(std::wstring_view(wide, got));
  std::memcpy(buffer, text.data(), text.size());
  return static_cast<long long>(text.size());
}

// Writes UTF-8 text to a console, in pieces the console takes at once that
// never split a character beyond the basic plane.
void WriteConsoleText(HANDLE console, std::string_view text) {
  constexpr size_t kPiece = 8192;
  const std::wstring wide = Wide(text);
  for (size_t at = 0; at < wide.size();) {
    size_t count = std::min(kPiece, wide.size() - at);
    if (count > 1 && IS_HIGH_SURROGATE(wide[at + count - 1])) --count;
    DWORD written = 0;
    if (!::WriteConsoleW(console, wide.data() + at, static_cast<DWORD>(count), &written, nullptr) ||
        written == 0) {
      return;
    }
    at += written;
  }
}

bool SamePlace(const COORD& a, const COORD& b) { return a.X == b.X && a.Y == b.Y; }

// Whether the console obeys terminal commands once it has accepted the mode:
// some (Wine's, for one) accept it and then print the commands' characters.
// A colour reset leaves the cursor where it is on a console that obeys; on
// one that prints it, what it printed is blanked out again.
bool ObeysTerminalCommands(HANDLE console) {
  static constexpr wchar_t kColourReset[] = L"\x1b[0m";
  constexpr DWORD kLength = std::size(kColourReset) - 1;
  CONSOLE_SCREEN_BUFFER_INFO before{};
  CONSOLE_SCREEN_BUFFER_INFO after{};
  DWORD written = 0;
  if (!::GetConsoleScreenBufferInfo(console, &before) ||
      !::WriteConsoleW(console, kColourReset, kLength, &written, nullptr) ||
      !::GetConsoleScreenBufferInfo(console, &after)) {
    return false;
  }
  if (SamePlace(before.dwCursorPosition, after.dwCursorPosition)) return true;
  DWORD blanked = 0;
  ::FillConsoleOutputCharacterW(console, L' ', kLength, before.dwCursorPosition, &blanked);
  ::SetConsoleCursorPosition(console, before.dwCursorPosition);
  return false;
}

// True when the standard handle `which` is a file, a pipe or a console.
bool LeadsSomewhere(DWORD which) {
  const HANDLE handle = ::GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// Points `stream` at the console `device` ("CONIN$" or "CONOUT$"), keeps
// the descriptor `fd` the stream's own (the console face reads descriptor
// 0), and makes it the standard handle `which`.
void ReopenOnConsole(std::FILE* stream, int fd, const wchar_t* device, const wchar_t* mode,
                     DWORD which) {
  if (::_wfreopen(device, mode, stream) == nullptr) return;
  if (::_fileno(stream) != fd && ::_dup2(::_fileno(stream), fd) != 0) return;
  ::SetStdHandle(which, HandleOf(fd));
}

std::atomic<std::atomic<bool>*> interrupt_flag{nullptr};

BOOL WINAPI OnControl(DWORD event) {
  std::atomic<bool>* flag = interrupt_flag.load();
  if (flag == nullptr) return FALSE;
  flag->store(true);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Closing the window, logging off, shutting down: the program ends when
  // this returns, so it waits while the program stops its run.
  for (DWORD waited = 0; interrupt_flag.load() != nullptr && waited < kMostCloseWaitMs;
       waited += kCloseWaitStepMs) {
    ::Sleep(kCloseWaitStepMs);
  }
  return TRUE;
}

}  // namespace

TerminalOutput::TerminalOutput(std::FILE* stream) : stream_(stream) {
  const HANDLE console = HandleOf(::_fileno(stream_));
  DWORD mode = 0;
  if (!IsConsole(console, &mode)) return;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
    if (!::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return;
    restore_mode_ = mode;
    restore_ = true;
  }
  // What the stream holds goes out before the check writes past it.
  std::fflush(stream_);
  takes_commands_ = ObeysTerminalCommands(console);
}

TerminalOutput::~TerminalOutput() {
  if (restore_) ::SetConsoleMode(HandleOf(::_fileno(stream_)), restore_mode_);
}

std::optional<TerminalSize> TerminalOutput::Size() const {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(HandleOf(::_fileno(stream_)), &info)) return std::nullopt;
  return TerminalSize{.rows = info.srWindow.Bottom - info.srWindow.Top + 1,
                      .columns = info.srWindow.Right - info.srWindow.Left + 1};
}

// Writes `text` to a file or a pipe, past the C runtime; stops at a failure
// (a cancelled write included).
void WriteToHandle(HANDLE handle, std::string_view text) {
  while (!text.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

void WriteText(std::FILE* stream, std::string_view text) {
  const HANDLE handle = HandleOf(::_fileno(stream));
  ::_lock_file(stream);
  // What the stream holds goes first, whichever way the text goes.
  std::fflush(stream);
  // A pipe or a console may keep the write waiting: the stream is not held
  // meanwhile, since the program's end locks every stream to flush it.
  const bool may_block = ::GetFileType(handle) != FILE_TYPE_DISK;
  if (may_block) ::_unlock_file(stream);
  if (IsConsole(handle)) {
    WriteConsoleText(handle, text);
  } else {
    WriteToHandle(handle, text);
  }
  if (!may_block) ::_unlock_file(stream);
}

bool MayBlockOnReader(std::FILE* stream) {
  return ::GetFileType(HandleOf(::_fileno(stream))) != FILE_TYPE_DISK;
}

namespace {

std::atomic<HANDLE> output_writer_thread{nullptr};

}  // namespace

void MarkOutputWriterThread() {
  HANDLE thread = nullptr;
  if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread,
                        0, FALSE, DUPLICATE_SAME_ACCESS)) {
    output_writer_thread.store(thread);
  }
}

void CancelBlockedOutputWrite() {
  if (const HANDLE thread = output_writer_thread.load()) (void)::CancelSynchronousIo(thread);
}

bool IsInteractiveInput(int fd) { return IsConsole(HandleOf(fd)); }

InputWait WaitForInput(int fd, milliseconds timeout) {
  const HANDLE input = HandleOf(fd);
  if (input == INVALID_HANDLE_VALUE) return InputWait::kReady;  // the read fails
  if (IsConsole(input)) return WaitForKey(input, timeout);
  if (::GetFileType(input) == FILE_TYPE_PIPE) return WaitForPipe(input, timeout);
  return InputWait::kReady;  // a file or a device: reading does not wait
}

long long ReadInput(int fd, char* buffer, size_t size) {
  const HANDLE input = HandleOf(fd);
  if (IsConsole(input)) return ReadConsoleText(input, buffer, size);
  return ReadSome(fd, buffer, size);
}

InterruptCatcher::InterruptCatcher(std::atomic<bool>& flag) {
  interrupt_flag.store(&flag);
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

InterruptCatcher::~InterruptCatcher() {
  interrupt_flag.store(nullptr);
  ::SetConsoleCtrlHandler(OnControl, FALSE);
}

Utf8ConsoleOutput::Utf8ConsoleOutput() {
  // 0: the program has no console.
  const UINT current = ::GetConsoleOutputCP();
  if (current != 0 && current != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
    restore_code_page_ = current;
  }
}

Utf8ConsoleOutput::~Utf8ConsoleOutput() {
  if (restore_code_page_ != 0) ::SetConsoleOutputCP(restore_code_page_);
}

void ConnectStandardStreams(bool allocate) {
  // Looked at before attaching: attaching may set the standard handles
  // without the C runtime's streams knowing.
  const bool input = LeadsSomewhere(STD_INPUT_HANDLE);
  const bool output = LeadsSomewhere(STD_OUTPUT_HANDLE);
  const bool error = LeadsSomewhere(STD_ERROR_HANDLE);
  if (input && output && error) return;
  if (::GetConsoleWindow() == nullptr && !::AttachConsole(ATTACH_PARENT_PROCESS) &&
      !(allocate && ::AllocConsole())) {
    return;  // no console to reach: what is written goes nowhere, as before
  }
  if (!input) ReopenOnConsole(stdin, 0, L"CONIN$", L"r", STD_INPUT_HANDLE);
  if (!output) ReopenOnConsole(stdout, 1, L"CONOUT$", L"w", STD_OUTPUT_HANDLE);
  if (!error) ReopenOnConsole(stderr, 2, L"CONOUT$", L"w", STD_ERROR_HANDLE);
}

void UseBinaryMode(std::FILE* stream) {
  std::fflush(stream);
  ::_setmode(::_fileno(stream), _O_BINARY);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    arguments.push_back(Utf8(wide[i]));
  }
  ::LocalFree(wide);
  return arguments;
}

}  // namespace brenvik

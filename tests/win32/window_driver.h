#pragma once
// Drives the window face's pages from a helper thread, as a person at the
// screen would: finds this process's windows by title, reads their
// controls' texts, presses buttons and keys by posting window messages, and
// answers message boxes. The pages themselves run modally on the test's
// main thread, whose modal loops carry out what the helper sends.
//
// Every read sends a message with a time limit, so a window thread that
// has stopped answering shows up as an empty text, not as a hung test.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brenvik::test {

using namespace std::chrono_literals;

// Polls `condition` every 10 ms until it holds or `limit` has passed.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

// A visible top-level window of this process whose title starts with
// `title_start`, or nullptr.
HWND FindOwnWindow(const std::string& title_start);
// The same, waited for up to `limit`.
HWND WaitForOwnWindow(const std::string& title_start,
                      std::chrono::milliseconds limit = std::chrono::seconds(60));

std::string TextOf(HWND window);  // UTF-8; empty when it does not answer
std::string ItemText(HWND dialog, int id);
bool ItemEnabled(HWND dialog, int id);

// The text of `column` in row `row` of a list view, and its row count.
std::string ListCell(HWND list, int row, int column);
int ListRows(HWND list);

// The button press the dialog manager reports for control `id` (a click on
// the button, or the command a key maps to).
void PressButton(HWND dialog, int id);
// Enter and Escape, as the dialog manager's message loop sees them on `dialog`.
void PressEnter(HWND dialog);
void PressEscape(HWND dialog);

// The system menu's items of `window`, as (command id, text) pairs; a
// separator has id 0 and no text.
std::vector<std::pair<UINT, std::string>> SystemMenuItems(HWND window);

// A message box that came up, as the helper saw it.
struct SeenBox {
  std::string title;
  std::string text;
  bool has_ok = false;
  bool has_retry = false;
  bool has_cancel = false;
};

// Answers every message box of this process (a dialog titled "Brenvik")
// from a thread of its own, polling every 10 ms: with the next scripted
// button id (IDOK, IDRETRY, IDCANCEL), or `fallback` when the script is
// used up, and records what each box showed. `before_answer` runs on that
// thread just before a box is answered.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::vector<int> answers = {}, int fallback = IDCANCEL);
  ~BoxAnswerer();
  BoxAnswerer(const BoxAnswerer&) = delete;
  BoxAnswerer& operator=(const BoxAnswerer&) = delete;

  void BeforeAnswer(std::function<void(const SeenBox&)> hook);
  std::vector<SeenBox> Boxes() const;
  std::vector<std::string> Texts() const;

 private:
  void Poll(const std::stop_token& stop);
  void Answer(HWND box);

  mutable std::mutex mutex_;
  std::deque<int> answers_;
  int fallback_;
  std::vector<SeenBox> seen_;
  std::function<void(const SeenBox&)> before_answer_;
  std::jthread thread_;
};

// Presses Cancel on every visible window of this process (pages and
// message boxes alike), once.
int CancelOpenWindows();

}  // namespace brenvik::test

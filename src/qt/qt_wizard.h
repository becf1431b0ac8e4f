#pragma once
// The two Qt pages run as one wizard over a session: the setup page runs
// modally, and its Next runs the progress page modally over a fresh run
// engine, which is gone (its workers stopped and joined) before the
// setup page ends.
//
// Threads: the GUI thread only.

namespace brenvik {

class Prompt;
class Session;
class TransferCallback;

// Returns the program's exit status: kExitSuccess when every file was
// verified (and the installer started when asked), kExitCancelled otherwise.
// `session` is initialised already; `callback` is the one its setup flow
// fetches through.
int RunQtWizard(Session& session, TransferCallback& callback, Prompt& prompt);

}  // namespace brenvik

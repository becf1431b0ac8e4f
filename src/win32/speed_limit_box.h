#pragma once
// The question behind the window menu's "Limit download speed…": a small
// modal box over the page with the limit set now in its field. OK gives the
// answer to the session, which applies it at once and keeps it for later
// runs; an answer that is no limit is said (a message box) and the box
// stays open for another.
//
// Threads: the window thread only.

#include <windows.h>

namespace brenvik {

class Prompt;
class Session;

void AskSpeedLimit(HWND owner, Session& session, Prompt& prompt);

}  // namespace brenvik

// Waiting for a thread from the window's thread without holding up the windows it writes to.
#pragma once

#include <windows.h>

// Waits for the thread to end, at most timeout_ms (or INFINITE), serving this thread's sent
// messages meanwhile: a thread it waits for may be inside SetWindowTextW or SendMessageW on one of
// its windows.  Only sent messages are served, so no click or menu command runs re-entrantly.
// True when the thread has ended.
bool wait_serving_messages(HANDLE thread, DWORD timeout_ms);

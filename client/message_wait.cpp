// Waiting for a thread from the window's thread without holding up the windows it writes to.
#include "client/message_wait.h"

bool wait_serving_messages(HANDLE waited, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (timeout_ms != INFINITE && elapsed >= timeout_ms) {
            return false;
        }
        DWORD left = timeout_ms == INFINITE ? INFINITE : timeout_ms - elapsed;
        DWORD woke = MsgWaitForMultipleObjects(1, &waited, FALSE, left, QS_SENDMESSAGE);
        if (woke == WAIT_OBJECT_0) {
            return true;
        }
        if (woke != WAIT_OBJECT_0 + 1) {
            return false;
        }
        MSG message;
        PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

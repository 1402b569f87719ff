// What this run knows of the room's history, shared by the connection's and the receive thread.
#include "client/catch_up.h"

#include <bcrypt.h>
#include <stdio.h>

#include "client/protocol.h"

// Everything below is read and written under the lock; no window call is made while it is held.
static SRWLOCK lock = SRWLOCK_INIT;
static char token[CLIENT_TOKEN_LENGTH + 1];
// This connection's offer, and whether the connection before it had one.
static bool offered, offered_before, replaying;
static std::string offered_epoch;
// The numbering of the last line shown, and its seq (-1: none shown of it).
static std::string known_epoch;
static long long last_seq = -1;
static long long register_after = -2;

HANDLE catch_up_offer_event(void) {
    // Manual-reset: whoever looks after the offer came still finds it set.
    static const HANDLE offer = CreateEventA(NULL, TRUE, FALSE, NULL);
    return offer;
}

void catch_up_start(void) {
    unsigned char random[CLIENT_TOKEN_LENGTH / 2];
    // The token is all that lets a connection take an earlier one's place, so it must not be
    // guessable; should the system's generator fail, the time and process are a poor but unique
    // stand-in.
    if (BCryptGenRandom(NULL, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        unsigned long long fallback =
            GetTickCount64() ^ ((unsigned long long)GetCurrentProcessId() << 32);
        for (size_t i = 0; i < sizeof random; i++) {
            random[i] = (unsigned char)(fallback >> (8 * (i % 8)) ^ i);
        }
    }
    for (size_t i = 0; i < sizeof random; i++) {
        snprintf(token + 2 * i, 3, "%02x", random[i]);
    }
}

bool catch_up_new_connection(void) {
    AcquireSRWLockExclusive(&lock);
    offered_before = offered;
    offered = false;
    replaying = false;
    register_after = -2;
    ResetEvent(catch_up_offer_event());
    bool resume = offered_before && !known_epoch.empty() && last_seq >= 0;
    ReleaseSRWLockExclusive(&lock);
    return resume;
}

void catch_up_offered(const std::string &epoch) {
    AcquireSRWLockExclusive(&lock);
    offered = true;
    replaying = true;
    offered_epoch = epoch;
    ReleaseSRWLockExclusive(&lock);
    SetEvent(catch_up_offer_event());
}

bool catch_up_replaying(void) {
    AcquireSRWLockShared(&lock);
    bool now = replaying;
    ReleaseSRWLockShared(&lock);
    return now;
}

bool catch_up_offer_seen(void) {
    return WaitForSingleObject(catch_up_offer_event(), 0) == WAIT_OBJECT_0;
}

std::string catch_up_register_payload(void) {
    AcquireSRWLockExclusive(&lock);
    bool resume = !known_epoch.empty() && last_seq >= 0;
    std::string payload = register_payload(token, known_epoch, resume ? last_seq : -1);
    register_after = resume ? last_seq : -1;
    // Under another numbering nothing of this server's has been shown yet.
    if (offered_epoch != known_epoch) {
        known_epoch = offered_epoch;
        last_seq = -1;
    }
    ReleaseSRWLockExclusive(&lock);
    return payload;
}

long long catch_up_register_after(void) {
    AcquireSRWLockShared(&lock);
    long long after = register_after;
    ReleaseSRWLockShared(&lock);
    return after;
}

bool catch_up_show(long long seq) {
    AcquireSRWLockExclusive(&lock);
    bool fresh = seq > last_seq;
    if (fresh) {
        last_seq = seq;
    }
    ReleaseSRWLockExclusive(&lock);
    return fresh;
}

void catch_up_replay_over(long long seq) {
    AcquireSRWLockExclusive(&lock);
    replaying = false;
    if (seq > last_seq) {
        last_seq = seq;
    }
    ReleaseSRWLockExclusive(&lock);
}

// Token buckets kept as a single clock (the generic cell rate algorithm): no refill to run.
#include "server/room/rate_limits.h"

// The clock runs in units of a millisecond times per_second, so one event is 1000 units at any
// rate and the arithmetic stays in integers.
static const long long EVENT = 1000;

bool rate_take(rate_bucket *bucket, long long now_ms, int per_second, int burst) {
    if (per_second <= 0) {
        return true;
    }
    long long now = now_ms * per_second;
    long long due = bucket->due > now ? bucket->due : now;
    if (due - now > (long long)(burst - 1) * EVENT) {
        return false;
    }
    bucket->due = due + EVENT;
    return true;
}

long long rate_wait_ms(const rate_bucket *bucket, long long now_ms, int per_second, int burst) {
    if (per_second <= 0) {
        return 0;
    }
    long long ahead = bucket->due - now_ms * per_second - (long long)(burst - 1) * EVENT;
    return ahead <= 0 ? 0 : (ahead + per_second - 1) / per_second;
}

bool rate_full(const rate_bucket *bucket, long long now_ms, int per_second) {
    return per_second <= 0 || bucket->due <= now_ms * per_second;
}

// What the bucket owes at now_ms: it fills by per_second thousandths of a byte a millisecond.
// Compared by division first, so a bucket left alone for years cannot overflow the product.
static long long owed_at(const byte_bucket *bucket, long long now_ms, long long per_second) {
    long long elapsed = now_ms - bucket->at_ms;
    if (elapsed <= 0) {
        return bucket->owed;
    }
    return elapsed > bucket->owed / per_second ? 0 : bucket->owed - elapsed * per_second;
}

// The most the bucket may owe for count bytes to be taken now.  A count that fits the burst
// needs its bytes there.  One that does not (a frame of 64 KiB with a burst of 2 KiB) would
// never find them, so it waits until the bucket is full instead and takes it into debt, which
// the next counts wait off: the rate holds over time, and no burst is larger than the larger of
// the burst and one count.  Charging every count after it was taken, whatever the bucket held,
// would never hold one back forever either, but would let every burst grow by a whole count.
static long long owed_limit(long long burst, long long count) {
    return count < burst ? (burst - count) * 1000 : 0;
}

bool byte_take(byte_bucket *bucket, long long now_ms, long long per_second, long long burst,
               long long count) {
    if (per_second <= 0) {
        return true;
    }
    long long owed = owed_at(bucket, now_ms, per_second);
    if (owed > owed_limit(burst, count)) {
        return false;
    }
    bucket->owed = owed + count * 1000;
    bucket->at_ms = now_ms > bucket->at_ms ? now_ms : bucket->at_ms;
    return true;
}

long long byte_wait_ms(const byte_bucket *bucket, long long now_ms, long long per_second,
                       long long burst, long long count) {
    if (per_second <= 0) {
        return 0;
    }
    long long ahead = owed_at(bucket, now_ms, per_second) - owed_limit(burst, count);
    return ahead <= 0 ? 0 : (ahead + per_second - 1) / per_second;
}

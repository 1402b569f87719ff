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

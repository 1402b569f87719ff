// Token buckets kept as what they owe and when: no refill to run.
#include "server/room/rate_limits.h"

// What the bucket owes at now_ms: it fills by per_second thousandths of a unit a millisecond.
// Compared by division first, so a bucket left alone for years cannot overflow the product.
static long long owed_at(const rate_bucket *bucket, long long now_ms, long long per_second) {
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

bool rate_take(rate_bucket *bucket, long long now_ms, long long per_second, long long burst,
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

long long rate_wait_ms(const rate_bucket *bucket, long long now_ms, long long per_second,
                       long long burst, long long count) {
    if (per_second <= 0) {
        return 0;
    }
    long long ahead = owed_at(bucket, now_ms, per_second) - owed_limit(burst, count);
    return ahead <= 0 ? 0 : (ahead + per_second - 1) / per_second;
}

bool rate_full(const rate_bucket *bucket, long long now_ms, long long per_second) {
    return per_second <= 0 || owed_at(bucket, now_ms, per_second) == 0;
}

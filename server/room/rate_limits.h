// Token buckets: at most a burst of events at once, then a steady number a second.
#pragma once

// The bucket as one clock: it runs ahead of the time by 1000 units per event taken, in units of
// a millisecond times the rate, and may run ahead by at most burst - 1 events.  Zero is full.
struct rate_bucket {
    long long due;
};

// Takes one event from the bucket at now_ms.  False, and nothing taken, when the bucket is
// empty.  per_second 0 means no limit.
bool rate_take(rate_bucket *bucket, long long now_ms, int per_second, int burst);

// Milliseconds from now_ms until rate_take can succeed; 0 when it can now.
long long rate_wait_ms(const rate_bucket *bucket, long long now_ms, int per_second, int burst);

// True when the bucket is full again, so it holds nothing worth keeping.
bool rate_full(const rate_bucket *bucket, long long now_ms, int per_second);

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

// A bucket of bytes: what it lacks of being full, in thousandths of a byte, as of at_ms.  Zero
// is full, whatever at_ms says.  Unlike rate_bucket it keeps no absolute clock in its units: at
// a GiB a second that clock would overflow after a hundred days of the system's uptime.
struct byte_bucket {
    long long owed;
    long long at_ms;
};

// Takes count bytes at once from the bucket at now_ms.  False, and nothing taken, when it lacks
// them.  A count over the whole burst is taken from a full bucket, which then owes more than its
// burst.  per_second 0 means no limit.
bool byte_take(byte_bucket *bucket, long long now_ms, long long per_second, long long burst,
               long long count);

// Milliseconds from now_ms until byte_take can take count bytes; 0 when it can now.
long long byte_wait_ms(const byte_bucket *bucket, long long now_ms, long long per_second,
                       long long burst, long long count);

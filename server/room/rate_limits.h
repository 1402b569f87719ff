// Token buckets: at most a burst at once, then a steady amount a second.
#pragma once

// What the bucket lacks of being full, in thousandths of a unit (an event, a byte), as of at_ms.
// Zero is full, whatever at_ms says.  It keeps no absolute clock in its units: at a GiB a second
// that clock would overflow after a hundred days of the system's uptime.
struct rate_bucket {
    long long owed;
    long long at_ms;
};

// Takes count units at once from the bucket at now_ms.  False, and nothing taken, when it lacks
// them.  A count over the whole burst is taken from a full bucket, which then owes more than its
// burst.  per_second 0 means no limit.
bool rate_take(rate_bucket *bucket, long long now_ms, long long per_second, long long burst,
               long long count);

// Milliseconds from now_ms until rate_take can take count units; 0 when it can now.
long long rate_wait_ms(const rate_bucket *bucket, long long now_ms, long long per_second,
                       long long burst, long long count);

// True when the bucket is full again, so it holds nothing worth keeping.
bool rate_full(const rate_bucket *bucket, long long now_ms, long long per_second);

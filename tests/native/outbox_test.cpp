// The user's lines between sending and their acknowledgement.
#include "client/outbox.h"

#include <string>

#include <gtest/gtest.h>

// Sends every line due on the connection, the first at at_ms and each next step_ms later; their
// ids and texts.
static std::string send_all(outbox *o, unsigned connection, long long at_ms, long long step_ms) {
    std::string sent;
    for (outbox_line *l; (l = outbox_next_to_send(o, connection)) != NULL; at_ms += step_ms) {
        sent += std::to_string(l->id) + " " + l->chat;
        outbox_sent(o, l, connection, true, at_ms);
    }
    return sent;
}

// Every line not yet acknowledged goes out again, in order, on each new connection; what the
// server acknowledged or what waited too long never does.
TEST(Outbox, ResendsInOrderUntilAcknowledgedAndGivesUpAfterTenMinutes) {
    static outbox o; // static: 256 lines with their strings are too big for the stack
    outbox_init(&o);
    ASSERT_TRUE(outbox_add(&o, "a\r\n", 0));
    ASSERT_TRUE(outbox_add(&o, "b\r\n", 1000));
    ASSERT_TRUE(outbox_add(&o, "c\r\n", 2000));
    EXPECT_EQ(send_all(&o, 1, 0, 0), "1 a\r\n2 b\r\n3 c\r\n");
    EXPECT_FALSE(outbox_acknowledge(&o, 99)) << "an id never sent";
    EXPECT_TRUE(outbox_acknowledge(&o, 2));
    EXPECT_FALSE(outbox_acknowledge(&o, 2)) << "acknowledged twice";
    EXPECT_EQ(outbox_due_in(&o, 1500, OUTBOX_SLOW_MS), 500);

    // The next connection: the two still waiting go again, oldest first, with their ids.
    EXPECT_EQ(send_all(&o, 2, 4000, 1000), "1 a\r\n3 c\r\n");
    EXPECT_EQ(outbox_in_flight_since(&o, 2), 4000) << "the watchdog goes by the oldest";

    std::string given;
    EXPECT_EQ(outbox_give_up(&o, OUTBOX_GIVE_UP_MS - 1, &given), 0);
    EXPECT_EQ(outbox_give_up(&o, OUTBOX_GIVE_UP_MS + 2000, &given), 2);
    EXPECT_EQ(given, "a\r\nc\r\n");
    EXPECT_EQ(outbox_due_in(&o, 0, OUTBOX_SLOW_MS), -1);

    // Without ids a line leaves with its echo, its lone CR made CR LF by the room, never someone
    // else's line; a full outbox refuses the next.
    for (int i = 0; i < OUTBOX_CAPACITY; i++) {
        ASSERT_TRUE(outbox_add(&o, "x\rx\r\n", 0));
    }
    EXPECT_FALSE(outbox_add(&o, "y\r\n", 0));
    outbox_sent(&o, outbox_next_to_send(&o, 3), 3, false, 0);
    EXPECT_FALSE(outbox_echoed(&o, "y\r\n"));
    EXPECT_TRUE(outbox_echoed(&o, "x\r\nx\r\n"));
    EXPECT_TRUE(outbox_add(&o, "y\r\n", 0));
}

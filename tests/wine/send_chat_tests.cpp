// Sending the input box's text as chat frames, and keeping it when it cannot go out.
#include "tests/wine/client_fixture.h"

#include <string.h>

#include "client/connection.h"
#include "client/send_chat.h"
#include "client/sending.h"

typedef ClientTest SendChatTest;

TEST_F(SendChatTest, SendsTheTextAndCrLfAsOneFrameThenEmptiesTheBox) {
    start("127.0.0.31");
    std::string longest(511, 'x');
    struct {
        std::string typed;
        std::string payload;
    } cases[] = {
        {"\x82\xa0", "\x82\xa0\r\n"}, // あ: on the wire 82 A0 0D 0A 80
        {"   ", "   \r\n"},
        {"one\r\ntwo\r\n", "one\r\ntwo\r\n\r\n"},
        {longest, longest + "\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(hex_bytes(c.typed.substr(0, 16)));
        SetWindowTextA(g_client.input_box, c.typed.c_str());
        SetFocus(g_client.member_list);
        EXPECT_EQ(send_chat_line(&g_client), 0);
        // What the connection's thread does once woken.
        EXPECT_EQ(sending_send_waiting(&g_client), 0);
        std::string payload;
        EXPECT_EQ(test_peer_read_frame(&peer, &payload, 3000), PEER_FRAME);
        EXPECT_EQ(payload, c.payload)
            << "expected " << hex_bytes(c.payload) << "\ngot      " << hex_bytes(payload);
        EXPECT_EQ(window_text(g_client.input_box), "");
        EXPECT_EQ(GetFocus(), g_client.input_box);
    }
}

TEST_F(SendChatTest, EmptyBoxSendsNothingAndTouchesNothing) {
    start("127.0.0.32");
    SetWindowTextA(g_client.input_box, "");
    SetFocus(g_client.member_list);
    EXPECT_EQ(send_chat_line(&g_client), -1);
    EXPECT_EQ(GetFocus(), g_client.member_list) << "the focus moved";
    std::string payload;
    EXPECT_EQ(test_peer_read_frame(&peer, &payload, 200), PEER_TIMEOUT)
        << "sent " << hex_bytes(payload);
}

TEST_F(SendChatTest, TextIsKeptWhenTheLineCannotGoOut) {
    start("127.0.0.33");
    // The server went away: the receive thread reports it and marks the connection lost.
    test_peer_close(&peer);
    ASSERT_TRUE(wait_for_receive_thread_end(3000));
    SetWindowTextA(g_client.input_box, "\x82\xa0"); // あ
    EXPECT_EQ(send_chat_line(&g_client), -1);
    EXPECT_EQ(window_text(g_client.input_box), "\x82\xa0");

    // No connection at all: send_frame finds no socket.
    disconnect_from_server();
    EXPECT_EQ(send_chat_line(&g_client), -1);
    EXPECT_EQ(window_text(g_client.input_box), "\x82\xa0");

    // After reconnecting the kept line goes out.
    ASSERT_EQ(connect_once(), 0);
    accept_client(&server, &peer);
    EXPECT_EQ(send_chat_line(&g_client), 0);
    EXPECT_EQ(sending_send_waiting(&g_client), 0);
    std::string payload;
    EXPECT_EQ(test_peer_read_frame(&peer, &payload, 3000), PEER_FRAME);
    EXPECT_EQ(payload, "\x82\xa0\r\n") << "got " << hex_bytes(payload);
}

// Connecting, the hello and goodbye frames, reconnecting and failed connects, against a scripted
// server on loopback.
#include "tests/wine/client_fixture.h"

#include "client/connection.h"

// Stands in for the receive loop: it blocks in recv like the real one, so a disconnect has to
// wake it, and it records that it ended.
static volatile LONG idle_receiver_ended;

static DWORD WINAPI idle_receiver(LPVOID param) {
    SOCKET chat_socket = ((client_state *)param)->chat_socket;
    char byte;
    while (recv(chat_socket, &byte, 1, 0) > 0) {
    }
    InterlockedExchange(&idle_receiver_ended, 1);
    return 0;
}

struct ConnectionTest : ClientTest {
    void SetUp() override {
        ClientTest::SetUp();
        g_client.receive_start = idle_receiver;
        idle_receiver_ended = 0;
    }
};

static void load_start_up_values(void) {
    char face[FONT_NAME_CAPACITY] = "";
    int height = 0;
    load_settings(g_client.name, g_client.server, face, &height);
}

TEST_F(ConnectionTest, HelloCarriesTheDisplayNameFromMemoIni) {
    struct {
        const char *memo;
        std::string hello;
    } cases[] = {
        {"name=Taro;\r\nserver=127.0.0.11;\r\n", "vantrel002;Taro"},
        // 名無しさん
        {"name=;\r\nserver=127.0.0.11;\r\n", "vantrel002;\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1"},
        // 太郎, in a file with LF line ends
        {"name=\x91\xbe\x98\x59;\nserver=127.0.0.11;\n", "vantrel002;\x91\xbe\x98\x59"},
    };
    ASSERT_TRUE(test_server_open(&server, "127.0.0.11"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.memo);
        use_memo(c.memo);
        g_client.name[0] = '\0';
        load_start_up_values();
        ASSERT_EQ(connect_once(), 0);
        ASSERT_TRUE(test_server_accept(&server, &peer, 3000));
        std::string hello;
        EXPECT_EQ(test_peer_read_frame(&peer, &hello, 3000), PEER_FRAME);
        EXPECT_EQ(hello, c.hello) << "expected " << hex_bytes(c.hello) << "\ngot      "
                                  << hex_bytes(hello);
        disconnect_from_server();
        test_peer_close(&peer);
    }
}

TEST_F(ConnectionTest, DisconnectSaysGoodbyeClosesAndWaitsForTheThread) {
    start("127.0.0.12");
    EXPECT_EQ(disconnect_from_server(), 0);
    EXPECT_EQ(idle_receiver_ended, 1) << "disconnect returned before the receive thread ended";
    EXPECT_EQ(g_client.chat_socket, INVALID_SOCKET);
    EXPECT_EQ(g_client.receive_thread, (HANDLE)NULL);

    std::string goodbye;
    EXPECT_EQ(test_peer_read_frame(&peer, &goodbye, 3000), PEER_FRAME);
    EXPECT_EQ(goodbye, "end\n") << "got " << hex_bytes(goodbye);
    EXPECT_TRUE(test_peer_wait_closed(&peer, 3000)) << "the connection stayed open";
    EXPECT_EQ(peer.unread, "") << "bytes after the goodbye: " << hex_bytes(peer.unread);

    // A second disconnect has nothing left to release and must not trip over the old handles.
    EXPECT_EQ(disconnect_from_server(), 0);
}

TEST_F(ConnectionTest, ReconnectFollowsTheEditedServerLine) {
    start("127.0.0.13");
    test_server second;
    test_peer new_peer = {INVALID_SOCKET, ""};
    ASSERT_TRUE(test_server_open(&second, "127.0.0.14"));
    use_memo("name=Jiro;\r\nserver=127.0.0.14;\r\n");
    disconnect_from_server();
    EXPECT_EQ(connect_once(), 0);
    EXPECT_TRUE(test_server_accept(&second, &new_peer, 3000)) << "the edited server was not used";
    std::string hello, goodbye;
    EXPECT_EQ(test_peer_read_frame(&new_peer, &hello, 3000), PEER_FRAME);
    EXPECT_EQ(hello, "vantrel002;Taro") << "only the server is read again, not the name";
    EXPECT_EQ(test_peer_read_frame(&peer, &goodbye, 3000), PEER_FRAME);
    EXPECT_EQ(goodbye, "end\n");
    EXPECT_TRUE(test_peer_wait_closed(&peer, 3000));
    test_peer_close(&new_peer);
    test_server_close(&second);
}

TEST_F(ConnectionTest, FailedConnectsReturnTheirCodesAndLeaveSocketsStarted) {
    const std::string too_long = "server=" + std::string(1000, 'a') + ";\r\n";
    const char *no_host = "\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n"; // エラーです
    struct {
        const char *memo;
        int result;
        const char *printed;
    } cases[] = {
        {"server=nohost.invalid;\r\n", -3, no_host},
        {"name=Taro;\r\n", -3, no_host},                   // no server line: the host "NONE"
        {"server=127.0.0.99;\r\n", -4, "connect Error\n"}, // nobody listens there
        // A space, a lone Shift-JIS first byte, a name too long for any resolver.
        {"server=a b;\r\n", -3, no_host},
        {"server=\x83;\r\n", -3, no_host},
        {too_long.c_str(), -3, no_host},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.memo);
        use_memo(c.memo);
        testing::internal::CaptureStdout();
        int result = connect_once();
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(printed, c.printed) << "got " << hex_bytes(printed);
        EXPECT_EQ(g_client.chat_socket, INVALID_SOCKET);
        EXPECT_EQ(g_client.receive_thread, (HANDLE)NULL);
        EXPECT_EQ(disconnect_from_server(), 0);
    }
    // Windows Sockets is still started after the failures.
    start("127.0.0.15");
}

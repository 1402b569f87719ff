// vantrel-server.exe as a Windows service under Wine's service manager, in a prefix of its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "tests/server/test_peer.h"

static const int WAIT_MS = 5000;

// Runs a program under Wine in the test's prefix; its exit status, and its standard output.
static int wine(const std::string &command, std::string *output) {
    std::string line = std::string("'") + VANTREL_WINE_RUN + "' '" + getenv("VANTREL_WINE_PREFIX") +
                       "' " + command + " 2>&1";
    FILE *pipe = popen(line.c_str(), "r");
    output->clear();
    char chunk[4096];
    size_t got;
    while (pipe != NULL && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output->append(chunk, got);
    }
    int status = pipe != NULL ? pclose(pipe) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static int free_port(void) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    bind(fd, (sockaddr *)&at, sizeof at);
    getsockname(fd, (sockaddr *)&at, &length);
    close(fd);
    return ntohs(at.sin_port);
}

// The Wine process whose command line holds text, or 0.  Wine shows the Windows command line.
static int process_with(const std::string &text) {
    DIR *proc = opendir("/proc");
    int found = 0;
    for (dirent *entry; proc != NULL && found == 0 && (entry = readdir(proc)) != NULL;) {
        FILE *f = fopen(("/proc/" + std::string(entry->d_name) + "/cmdline").c_str(), "r");
        char line[1024] = "";
        size_t got = f != NULL ? fread(line, 1, sizeof line - 1, f) : 0;
        for (size_t i = 0; i < got; i++) {
            line[i] = line[i] == '\0' ? ' ' : line[i];
        }
        found = std::string(line, got).find(text) != std::string::npos ? atoi(entry->d_name) : 0;
        if (f != NULL) {
            fclose(f);
        }
    }
    if (proc != NULL) {
        closedir(proc);
    }
    return found;
}

static bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(server_service, installed_it_serves_ends_in_order_logs_the_day_and_uninstalls) {
    if (!server_under_wine()) {
        GTEST_SKIP() << "needs VANTREL_SERVER_EXE and VANTREL_WINE_PREFIX";
    }
    const std::string exe = getenv("VANTREL_SERVER_EXE");
    server_process sp = {};
    sp.port = free_port();
    const std::string port = std::to_string(sp.port);
    std::string output;
    long long start = now_ms();
    ASSERT_EQ(0, wine(exe + " --install-service --listen 127.0.0.1 --port " + port, &output))
        << output;
    // Wine's firewall object may refuse the rule: then the install says so and goes on.
    EXPECT_TRUE(has(output, "受信の規則「Vantrel Server」を追加しました") ||
                has(output, "規則を追加できませんでした"))
        << output;
    printf("--install-service said:\n%s", output.c_str());

    // Named after the port, so that an earlier run's lines in the day's log cannot pass for its.
    const std::string name = "T" + port;
    peer member;
    ASSERT_TRUE(peer_connect(&member, &sp, "127.0.0.1", 0) && peer_hello(&member, name));
    std::string got;
    ASSERT_EQ(PEER_FRAME, peer_read_frame(&member, &got, WAIT_MS));
    EXPECT_EQ("e" + name + "\r\n", got);
    time_t joined = time(NULL);
    printf("--install-service to the first member joined: %lld ms\n", now_ms() - start);
    ASSERT_TRUE(peer_send_frame(&member, "hi\r\n"));
    ASSERT_EQ(PEER_FRAME, peer_read_frame(&member, &got, WAIT_MS));
    EXPECT_EQ("d" + name + ";hi\r\n", got);

    const std::string service = "vantrel-server.exe --service --listen 127.0.0.1 --port " + port;
    int pid = process_with(service);
    EXPECT_NE(0, pid) << "no service process";
    long long stop = now_ms();
    EXPECT_EQ(0, wine("net stop VantrelServer", &output)) << output;
    ASSERT_EQ(PEER_FRAME, peer_read_frame(&member, &got, WAIT_MS));
    EXPECT_EQ("dserver_end\n", got);
    EXPECT_TRUE(peer_wait_closed(&member, WAIT_MS));
    while (pid != 0 && process_with(service) == pid && now_ms() - stop < WAIT_MS) {
        usleep(10000);
    }
    EXPECT_NE(pid, process_with(service)) << "the service process outlived its stop";
    printf("stop request to the process ending: %lld ms\n", now_ms() - stop);
    peer_close(&member);

    char day[16];
    strftime(day, sizeof day, "%Y-%m-%d", localtime(&joined));
    std::string path = std::string(getenv("VANTREL_WINE_PREFIX")) +
                       "/drive_c/ProgramData/Vantrel/logs/server-" + day + ".log";
    FILE *f = fopen(path.c_str(), "rb");
    std::string log;
    for (int c; f != NULL && (c = fgetc(f)) != EOF;) {
        log += (char)c;
    }
    if (f != NULL) {
        fclose(f);
    }
    EXPECT_TRUE(has(log, " 127.0.0.1:") && has(log, " (" + name + ") joined\n")) << path << ":\n"
                                                                                 << log;

    const std::string history = std::string(getenv("VANTREL_WINE_PREFIX")) + "/drive_c/ProgramData";
    EXPECT_EQ(0, access((history + "/Vantrel/history.sqlite3").c_str(), F_OK)) << "no history";
    EXPECT_EQ(0, wine(exe + " --uninstall-service", &output)) << output;
    EXPECT_NE(0, wine("sc query VantrelServer", &output)) << "still registered:\n" << output;
}

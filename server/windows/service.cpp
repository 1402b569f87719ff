// Registering VantrelServer with the service manager, running the room as it, and removing it.
#include "server/windows/service.h"

#include <string.h>

#include <string>

#include <windows.h>

#include "server/windows/firewall.h"
#include "server/windows/log_file.h"
#include "server/history_place.h"
#include "server/log_output.h"
#include "server/log_queue.h"
#include "server/stop_request.h"

static char VANTREL_SERVICE[] = "VantrelServer"; // not const: the dispatcher table takes LPSTR
static const char VANTREL_SERVICE_DISPLAY[] = "Vantrel Server";
static char VANTREL_SERVICE_DESCRIPTION[] =
    "Vantrel のチャットサーバー。メンバーの発言と一覧を参加中の全員に届けます。";
static const char VANTREL_SERVICE_ACCOUNT[] = "NT AUTHORITY\\LocalService";
// After a failure the service manager starts the service again this much later, this many
// times, counting afresh after a day without failures.
static const DWORD RESTART_DELAY_MS = 5000;
static const int RESTARTS = 3;
static const DWORD RESTART_COUNT_RESET_S = 24 * 60 * 60;
// How long installing and removing wait for the service to start or stop.
static const ULONGLONG STATE_WAIT_MS = 30000;
// Told to the service manager while stopping: the members' two seconds to take the shutdown
// notice, and a margin.
static const DWORD STOP_WAIT_HINT_MS = 5000;

// The handler runs on the dispatcher's thread and the room on the service's own, and both
// report the service's state.
static CRITICAL_SECTION g_status_lock;
static SERVICE_STATUS_HANDLE g_status_handle;
static SERVICE_STATUS g_status;
static int (*g_serve)(void);
static int g_exit_status;

service_mode service_take_mode(int *argc, char **argv) {
    static const struct {
        const char *flag;
        service_mode mode;
    } flags[] = {
        {"--service", SERVICE_RUN},
        {"--install-service", SERVICE_INSTALL},
        {"--uninstall-service", SERVICE_UNINSTALL},
    };
    service_mode mode = SERVICE_NONE;
    int kept = 1;
    for (int i = 1; i < *argc; i++) {
        service_mode found = SERVICE_NONE;
        for (const auto &flag : flags) {
            if (strcmp(argv[i], flag.flag) == 0) {
                found = flag.mode;
            }
        }
        if (found != SERVICE_NONE) {
            mode = found;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = NULL;
    return mode;
}

void service_print_usage(FILE *to) {
    fputs("As administrator, on Windows:\n"
          "  --install-service [OPTION]...  run as the service VantrelServer with these options,\n"
          "                           started with Windows as NT AUTHORITY\\LocalService, and let\n"
          "                           other PCs reach its port through Windows Firewall\n"
          "  --uninstall-service      stop the service, then remove it and its firewall rule\n"
          "The service logs to %ProgramData%\\Vantrel\\logs\\server-YYYY-MM-DD.log.\n",
          to);
}

static void report(DWORD state, int exit_status, DWORD wait_hint) {
    EnterCriticalSection(&g_status_lock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwWin32ExitCode = exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = (DWORD)exit_status;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    g_status.dwCheckPoint = pending ? g_status.dwCheckPoint + 1 : 0;
    g_status.dwWaitHint = wait_hint;
    SetServiceStatus(g_status_handle, &g_status);
    LeaveCriticalSection(&g_status_lock);
}

static DWORD WINAPI on_control(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING, 0, STOP_WAIT_HINT_MS);
        stop_request_raise();
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

static void WINAPI service_main(DWORD, LPSTR *) {
    g_status_handle = RegisterServiceCtrlHandlerExA(VANTREL_SERVICE, on_control, NULL);
    if (g_status_handle == NULL) {
        g_exit_status = 1;
        return;
    }
    report(SERVICE_START_PENDING, 0, 10000);
    stop_request_as_service();
    log_file_make_folder(false);
    log_queue_sink = log_file_write;
    g_exit_status = g_serve();
    report(SERVICE_STOPPED, g_exit_status, 0);
}

void service_listening(const char *shown) {
    if (g_status_handle == NULL) {
        return;
    }
    log_output_write(std::string("vantrel-server listening on ") + shown + "\n");
    report(SERVICE_RUNNING, 0, 0);
}

// Says why a step failed; without administrator rights, how to get them.
static void say_failure(const char *what, DWORD error) {
    if (error == ERROR_ACCESS_DENIED) {
        printf("%s。管理者の権限が要ります。「コマンド プロンプト」を右クリックして「管理者として"
               "実行」を選び、そこでもう一度実行してください。\n",
               what);
    } else {
        printf("%s（エラー %lu）。\n", what, (unsigned long)error);
    }
}

// Waits while the service is in the pending state, at most STATE_WAIT_MS; its state after.
static SERVICE_STATUS_PROCESS wait_while(SC_HANDLE service, DWORD pending) {
    SERVICE_STATUS_PROCESS status;
    memset(&status, 0, sizeof status);
    ULONGLONG deadline = GetTickCount64() + STATE_WAIT_MS;
    DWORD needed = 0;
    while (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status,
                                &needed) &&
           status.dwCurrentState == pending && GetTickCount64() < deadline) {
        Sleep(100);
    }
    return status;
}

// Stops the service if it runs, giving the members the shutdown notice; true once stopped.
static bool stop_service(SC_HANDLE service, bool *was_running) {
    SERVICE_STATUS status;
    *was_running = false;
    if (!QueryServiceStatus(service, &status)) {
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        return true;
    }
    *was_running = true;
    if (status.dwCurrentState != SERVICE_STOP_PENDING &&
        !ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        return false;
    }
    return wait_while(service, SERVICE_STOP_PENDING).dwCurrentState == SERVICE_STOPPED;
}

// One argument for the service's command line as Windows' parser reads it back: in quotes when
// it holds a space, tab or quote, with a backslash before each quote and the backslashes that
// come before a quote doubled.
static void append_argument(std::string *line, const char *arg) {
    *line += ' ';
    if (*arg != '\0' && strpbrk(arg, " \t\"") == NULL) {
        *line += arg;
        return;
    }
    *line += '"';
    size_t backslashes = 0;
    for (const char *c = arg;; c++) {
        if (*c == '\\') {
            backslashes++;
            continue;
        }
        line->append(*c == '"' || *c == '\0' ? backslashes * 2 : backslashes, '\\');
        backslashes = 0;
        if (*c == '\0') {
            break;
        }
        if (*c == '"') {
            *line += '\\';
        }
        *line += *c;
    }
    *line += '"';
}

// Restarts after a crash and, where Windows allows it, after a failure to listen, which ends the
// process in order with an exit code.
static void set_recovery(SC_HANDLE service) {
    SC_ACTION actions[RESTARTS];
    for (SC_ACTION &action : actions) {
        action.Type = SC_ACTION_RESTART;
        action.Delay = RESTART_DELAY_MS;
    }
    SERVICE_FAILURE_ACTIONSA failure = {RESTART_COUNT_RESET_S, NULL, NULL, RESTARTS, actions};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        say_failure("  止まってしまったときに起動し直す設定ができませんでした", GetLastError());
        return;
    }
    printf("  止まってしまったときは %lu 秒後に起動し直します（%d 回まで）。\n",
           (unsigned long)(RESTART_DELAY_MS / 1000), RESTARTS);
    SERVICE_FAILURE_ACTIONS_FLAG on_exit_code = {TRUE};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_code)) {
        say_failure("  ただし、ポートを開けずに止まったときに起動し直す設定はできませんでした",
                    GetLastError());
    }
}

// Registers the service, or updates the one there, and returns it open; NULL after saying why.
static SC_HANDLE register_service(SC_HANDLE manager, const std::string &command) {
    SC_HANDLE service =
        CreateServiceA(manager, VANTREL_SERVICE, VANTREL_SERVICE_DISPLAY, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), NULL, NULL, NULL, VANTREL_SERVICE_ACCOUNT, "");
    if (service != NULL) {
        printf("サービス「%s」(%s) を登録しました。\n", VANTREL_SERVICE_DISPLAY, VANTREL_SERVICE);
    } else if (GetLastError() == ERROR_SERVICE_EXISTS) {
        // The new options take effect at the next start, so a running service is stopped first.
        service = OpenServiceA(manager, VANTREL_SERVICE, SERVICE_ALL_ACCESS);
        bool was_running = false;
        if (service == NULL || !stop_service(service, &was_running) ||
            !ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), NULL, NULL, NULL,
                                  VANTREL_SERVICE_ACCOUNT, "", VANTREL_SERVICE_DISPLAY)) {
            say_failure("登録済みのサービス VantrelServer を更新できませんでした", GetLastError());
            if (service != NULL) {
                CloseServiceHandle(service);
            }
            return NULL;
        }
        printf("登録済みのサービス「%s」(%s) の設定を新しくしました%s。\n", VANTREL_SERVICE_DISPLAY,
               VANTREL_SERVICE, was_running ? "（いったん止めました）" : "");
    } else {
        say_failure("サービスを登録できませんでした", GetLastError());
        return NULL;
    }
    printf("  コマンド: %s\n"
           "  アカウント: %s、Windows の起動時に自動で開始\n",
           command.c_str(), VANTREL_SERVICE_ACCOUNT);
    SERVICE_DESCRIPTIONA description = {VANTREL_SERVICE_DESCRIPTION};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
    return service;
}

static int install_service(int argc, char **argv, int port) {
    if (port == 0) {
        printf("--install-service には --port 0 は使えません。ポート番号を指定してください。\n");
        return 2;
    }
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, program, sizeof program);
    if (length == 0 || length >= sizeof program) {
        say_failure("このプログラムの場所がわかりません", GetLastError());
        return 1;
    }
    std::string command = std::string("\"") + program + "\" --service";
    std::string remote; // the --allow networks, as the firewall writes them
    for (int i = 1; i < argc; i++) {
        append_argument(&command, argv[i]);
        if (strcmp(argv[i], "--allow") == 0 && i + 1 < argc) {
            remote += (remote.empty() ? "" : ",") + std::string(argv[i + 1]);
        }
    }
    // Asking for the right to create services is the first step, so that without
    // administrator rights nothing has changed when it fails.
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == NULL) {
        say_failure("サービスを登録できません。何も変更していません", GetLastError());
        return 1;
    }
    SC_HANDLE service = register_service(manager, command);
    if (service == NULL) {
        CloseServiceHandle(manager);
        return 1;
    }
    set_recovery(service);
    std::string logs = log_file_folder();
    if (log_file_make_folder(true)) {
        printf("  ログ: %s\\server-年-月-日.log（1 日 1 ファイル）\n", logs.c_str());
    } else {
        say_failure("  ログのフォルダーを作れませんでした", GetLastError());
    }

    long added = firewall_add_rule(program, port, remote);
    if (added >= 0) {
        printf("Windows ファイアウォールに受信の規則「%s」を追加しました。\n"
               "  許可: このプログラムの TCP ポート %d への接続\n"
               "  接続元: %s\n",
               FIREWALL_RULE_NAME, port, remote.empty() ? "すべてのアドレス" : remote.c_str());
    } else {
        printf("Windows ファイアウォールに規則を追加できませんでした（エラー 0x%08lX）。"
               "ほかのパソコンからつなぐには、TCP ポート %d を許可する規則を手で追加して"
               "ください。続けます。\n",
               (unsigned long)added, port);
    }

    int status = 1;
    if (!StartServiceA(service, 0, NULL)) {
        say_failure("サービスを開始できませんでした", GetLastError());
    } else {
        SERVICE_STATUS_PROCESS state = wait_while(service, SERVICE_START_PENDING);
        if (state.dwCurrentState == SERVICE_RUNNING) {
            printf("サービスを開始しました。\n");
            status = 0;
        } else {
            printf("サービスを開始できませんでした（終了コード %lu）。ログを見てください: %s\n",
                   (unsigned long)state.dwServiceSpecificExitCode, logs.c_str());
        }
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status;
}

static int uninstall_service(void) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        say_failure("サービスマネージャーを開けません。何も変更していません", GetLastError());
        return 1;
    }
    int status = 0;
    SC_HANDLE service =
        OpenServiceA(manager, VANTREL_SERVICE, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == NULL && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
        printf("サービス %s は登録されていません。\n", VANTREL_SERVICE);
    } else if (service == NULL) {
        say_failure("サービスを削除できません。何も変更していません", GetLastError());
        CloseServiceHandle(manager);
        return 1;
    } else {
        bool was_running = false;
        if (!stop_service(service, &was_running)) {
            say_failure("サービスを止められませんでした", GetLastError());
            status = 1;
        } else if (was_running) {
            printf("サービスを止めました。参加していたメンバーには終了を知らせました。\n");
        }
        if (DeleteService(service)) {
            printf("サービス「%s」(%s) を削除しました。\n", VANTREL_SERVICE_DISPLAY,
                   VANTREL_SERVICE);
        } else {
            say_failure("サービスを削除できませんでした", GetLastError());
            status = 1;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    long removed = firewall_remove_rule();
    if (removed >= 0) {
        printf("Windows ファイアウォールの規則「%s」を削除しました。\n", FIREWALL_RULE_NAME);
    } else {
        printf("Windows ファイアウォールの規則「%s」を削除できませんでした（エラー 0x%08lX）。\n",
               FIREWALL_RULE_NAME, (unsigned long)removed);
        status = 1;
    }
    std::string why, history = history_place_default(true, &why);
    printf("ログは %s に、会話の履歴は %s に残してあります。\n", log_file_folder().c_str(),
           history.c_str());
    return status;
}

int service_carry_out(service_mode mode, int argc, char **argv, int port, int (*serve)(void)) {
    if (mode == SERVICE_INSTALL) {
        return install_service(argc, argv, port);
    }
    if (mode == SERVICE_UNINSTALL) {
        return uninstall_service();
    }
    InitializeCriticalSection(&g_status_lock);
    g_serve = serve;
    SERVICE_TABLE_ENTRYA table[] = {{VANTREL_SERVICE, service_main}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherA(table)) {
        fprintf(stderr,
                "vantrel-server: --service is for the service manager (error %lu); install the "
                "service with --install-service, or run without either\n",
                (unsigned long)GetLastError());
        return 1;
    }
    return g_exit_status;
}

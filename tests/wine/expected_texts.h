// What the program shows and says, as the exact Shift-JIS bytes the tests expect.  Written as
// escapes, with the text beside them, so the compiler's own conversion is checked too.
#pragma once

#include <string>

static const char MAIN_CLASS[] = "vantrel";
static const char MAIN_TITLE[] = "Vantrel";
static const char TITLE_CONNECTING[] = "Vantrel - \x90\xDA\x91\xB1\x92\x86"; // Vantrel - 接続中
static const char TITLE_WAITING[] = "Vantrel - \x96\xA2\x90\xDA\x91\xB1";    // Vantrel - 未接続

// The display names the tests chat under.
static const std::string NAME = "\x91\xBE\x98\x59";  // 太郎
static const std::string OTHER = "\x89\xD4\x8E\x71"; // 花子

static const std::string CONNECTED = "MESSAGE:\x90\xDA\x91\xB1\x82\xB3\x82\xEA\x82\xDC\x82\xB5"
                                     "\x82\xBD\x81\x42\r\n"; // MESSAGE:接続されました。
static const std::string LOST = "MESSAGE:\x90\xDA\x91\xB1\x82\xAA\x90\xD8\x82\xEA\x82\xDC\x82\xB5"
                                "\x82\xBD\x81\x42\r\n"; // MESSAGE:接続が切れました。

// MESSAGE:<name> が参加しました。 and MESSAGE:<name> が退出しました。
static const std::string JOINED =
    " \x82\xAA\x8E\x51\x89\xC1\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\r\n";
static const std::string LEFT =
    " \x82\xAA\x91\xDE\x8F\x6F\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\r\n";

// MESSAGE:<server> に接続できません。接続できるまで自動で試します。
static inline std::string outage_line(const std::string &server) {
    return "MESSAGE:" + server +
           " \x82\xC9\x90\xDA\x91\xB1\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42\x90\xDA"
           "\x91\xB1\x82\xC5\x82\xAB\x82\xE9\x82\xDC\x82\xC5\x8E\xA9\x93\xAE\x82\xC5\x8E\x8E\x82"
           "\xB5\x82\xDC\x82\xB7\x81\x42\r\n";
}

// An entry is ENTRY_LEAD + name + SAID + time stamp + STAMP_END + text.
static const std::string ENTRY_LEAD = "\r\n\x81\x9F ";        // CR LF ◆
static const std::string SAID = " \x82\xCC\x94\xAD\x8C\xBE "; // の発言
static const std::string STAMP_END = " : \r\n";

static const std::string SEND_LABEL = "\x94\xAD\x8C\xBE"; // 発言

static const char ERROR_CAPTION[] = "ERROR";
static const char MEMO_CAPTION[] = "memo.ini";
static const char ABOUT_CAPTION[] =
    "\x83\x6F\x81\x5B\x83\x57\x83\x87\x83\x93\x8F\xEE\x95\xF1"; // バージョン情報
static const char CONFIRM_CAPTION[] = "\x8A\x6D\x94\x46";       // 確認
static const std::string WRONG_VERSION = "\x83\x6F\x81\x5B\x83\x57\x83\x87\x83\x93\x82\xAA\x88\xE1"
                                         "\x82\xA2\x82\xDC\x82\xB7"; // バージョンが違います
static const std::string NO_FILE =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8C\xA9\x82\xC2\x82"
    "\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1"; // ファイルが見つかりません
static const std::string QUIT_QUESTION =
    "\x8F\x49\x97\xB9\x82\xB5\x82\xC4\x82\xE0\x82\xE6\x82\xEB"
    "\x82\xB5\x82\xA2\x82\xC5\x82\xB7\x82\xA9"; // 終了してもよろしいですか
// MESSAGE:ログを書き込めなかったため、<count> 件を記録できませんでした。, in the log only
static inline std::string unlogged_line(int count) {
    return "MESSAGE:\x83\x8D\x83\x4F\x82\xF0\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xC8\x82\xA9\x82"
           "\xC1\x82\xBD\x82\xBD\x82\xDF\x81\x41" +
           std::to_string(count) +
           " \x8C\x8F\x82\xF0\x8B\x4C\x98\x5E\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82"
           "\xB5\x82\xBD\x81\x42\r\n";
}
static const std::string LOG_FAILED =
    "\x83\x8D\x83\x4F\x82\xF0\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9"
    "\x82\xF1"; // ログを書き込めません

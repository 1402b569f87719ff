// Transcript texts: the lines the connection writes and the entry made of each relayed line.
// Portable: no window or socket here.
#pragma once

#include <string>

const char TRANSCRIPT_CONNECTED[] = "MESSAGE:接続されました。\r\n";
const char TRANSCRIPT_DISCONNECTED[] = "MESSAGE:接続が切れました。\r\n";
// After the room's recent history, on the first connection of a run.
const char TRANSCRIPT_HISTORY_END[] = "MESSAGE:ここまでが以前の会話です。\r\n";
// Lines the server never acknowledged went back into the input box.
const char TRANSCRIPT_GIVEN_BACK[] = "MESSAGE:送れなかった発言を入力欄に戻しました。\r\n";

// "MESSAGE:切れていた間の発言 N 件\r\n": after what a reconnect caught up on.
std::string compose_missed_count(int count);
// "MESSAGE:サーバーには (stamp) 以降の発言しか残っていません。\r\n": older lines are gone.
std::string compose_gap_line(const char *stamp);

// "MESSAGE:" + server + " に接続できません。接続できるまで自動で試します。\r\n": once an outage.
std::string compose_outage_line(const char *server);

enum { TIME_STAMP_CAPACITY = 32 };

struct stamp_time {
    int year, month, day, hour, minute;
};

// "(2026/12/07 09:05)": never more than TIME_STAMP_CAPACITY - 1 bytes, whatever the fields hold.
void format_time_stamp(char *out, const stamp_time *t);

// A relayed text as the transcript may show it: no line of it can pass for a line the client
// writes itself.  At the start of each line the box shows (after CR LF, a lone LF or a lone CR),
// after whatever shows as blank there (spaces, tabs, ideographic spaces, other control bytes, and
// escapes of blank characters such as &#x00A0), "◆" becomes "◇" and the colon of "MESSAGE:"
// becomes "：".  Everything else stays byte for byte.
std::string disarm_relay_text(const std::string &text);

// A name from the server as the client shows and logs it: control bytes (0x00-0x1F, 0x7F) become
// "_", as the server makes them, so that no name breaks a line; a lead byte cut off at the end is
// dropped.
std::string shown_name(const std::string &name);
// The same for each name of a member list, whose names each end in CR LF.
std::string shown_member_list(const std::string &list);

// "\r\n◆ " + name + " の発言 " + stamp + " : \r\n" + text.
std::string compose_entry(const std::string &name, const char *stamp, const std::string &text);
// How every entry begins: an empty line, then "◆ ".  No relayed line can (disarm_relay_text).
static const char ENTRY_START[] = "\r\n\x81\x9f ";

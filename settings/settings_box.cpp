// Tells the user memo.ini could not be opened.
#include <windows.h>

#include "settings/settings.h"

void report_missing_settings_file(void) {
    MessageBoxW(NULL, L"ファイルが見つかりません", L"" SETTINGS_FILE_NAME, MB_OK);
}

// Resource names and menu command ids, shared by the resource script and the code.
#pragma once

#define IDM_EXIT 40000
#define IDM_TOPMOST 40001
#define IDM_ABOUT 40002
#define IDM_RECONNECT 40003

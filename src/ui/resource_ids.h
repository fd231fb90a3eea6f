#pragma once
// Resource and control ids, shared by the .rc file and the code.
#define IDD_LAUNCHER 102
#define IDS_SOCKET_LAYER_FAILED 103
#define IDI_LAUNCHER 128

#define IDC_PROGRAM_LIST 1000
#define IDC_HIDE 1001
#define IDC_START_STOP 1002
#define IDC_PLAN_CHOOSER 1004
#define IDC_RERUN 1006
#define IDC_NOTIFY 1007
#define IDC_INTERVAL 1008
#define IDC_DETECT 1010

// Tray icon callback message and tray menu commands.
#define WM_TRAY_NOTIFY (WM_USER + 5)
// Posted by the application when its reports have work for the window's
// thread: the metrics file is due to be written, or a spared server ended.
#define WM_REPORTS_DUE (WM_APP + 2)
// Posted by the process host when news of its processes (a creation made, a
// program ended) waits for the window's thread.
#define WM_PROCESSES_DUE (WM_APP + 3)
// Posted by the control pipe's thread when a request waits for the window.
#define WM_CONTROL_REQUEST (WM_APP + 16)
// Posted by the control pipe's thread once a quit's reply is out.
#define WM_CONTROL_QUIT (WM_APP + 17)
#define ID_TRAY_SHOW 100
#define ID_TRAY_CLOSE 101
#define ID_TRAY_STOP_PLAN 102
#define ID_TRAY_START_PLAN_BASE 103

// Identifiers of the program's resources, controls, commands and private messages.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_BAR 102
#define IDR_MAINFRAME 128
#define IDI_TRAY_IDLE 129
#define IDI_TRAY_ERROR 130
#define IDI_TRAY_OK 132
#define IDR_TRAYMENU 133
#define IDI_TRAY_ALARM 134

#define IDC_TOPMOST 1001
#define IDC_SAVEINI 1002
#define IDC_INDICATOR 1003
#define IDC_EXIT 1004
#define IDC_SLOT00 1005
#define IDC_SLOT01 1006
#define IDC_SLOT02 1007
#define IDC_SLOT03 1008
#define IDC_SLOT04 1009
#define IDC_SLOT05 1010
#define IDC_SLOT06 1011
#define IDC_SLOT07 1012
#define IDC_SLOT08 1013
#define IDC_SLOT09 1014
#define IDC_SLOT10 1015
#define IDC_SLOT11 1016
#define IDC_SLOT12 1017
#define IDC_SLOT13 1018

#define ID_MENU_TOPMOST 32771
#define ID_MENU_STICK 32772
#define ID_MENU_SAVEINI 32773
#define ID_MENU_INDICATOR 32774
#define ID_MENU_ABOUT 32775
#define ID_MENU_EXIT 32776
#define ID_MENU_HISTORY 32777

// The history window: its span buttons and texts.
#define IDC_HISTORY_SPAN0 1030
#define IDC_HISTORY_SPAN1 1031
#define IDC_HISTORY_SPAN2 1032
#define IDC_HISTORY_SPAN3 1033
#define IDC_HISTORY_STATUS 1034
#define IDS_HISTORY_TITLE 140
#define IDS_HISTORY_SPAN0 141
#define IDS_HISTORY_SPAN1 142
#define IDS_HISTORY_SPAN2 143
#define IDS_HISTORY_SPAN3 144
#define IDS_HISTORY_FIGURES 145
#define IDS_HISTORY_LOADING 146
#define IDS_HISTORY_UNSUPPORTED 147
#define IDS_HISTORY_OFF 148
#define IDS_HISTORY_BUSY 149
#define IDS_HISTORY_FAILED 150
#define IDS_HISTORY_UPDATED 151

// Private window messages of the bar.
#define WM_TRAY_NOTIFY 0x8097 /* WM_APP + 0x97: mouse events on the tray icon */
#define WM_BAR_REFRESH 0x8099 /* WM_APP + 0x99: posted after every poll and option change */

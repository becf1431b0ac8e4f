// Resource and control ids of the Windows window face.
//
// Shared by the resource script (src/win32/res/brenvik.rc, compiled by
// windres) and the C++ pages, so it holds nothing but plain #defines: no
// includes, no casts, no C++-only syntax. The values are the ones the dialogs
// have always used; changing one breaks the link between a template and the
// code that looks its controls up.
#pragma once

// Controls that code never looks up (group boxes, fixed captions).
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Dialog templates.
#define IDD_ABOUT 100
#define IDD_SPEED_LIMIT 160
#define IDD_SETUP_PAGE 102
#define IDD_PROGRESS_PAGE 129

// String table: the system-menu entry that opens the About box.
#define IDS_ABOUT_ENTRY 101

// System-menu command of that entry. WM_SYSCOMMAND reserves the low four
// bits, so a handler compares (wParam & 0xFFF0) with it.
#define IDM_ABOUT_ENTRY 0x0010
// The window menu's "Limit download speed…" entry, just before the About
// entry.
#define IDM_SPEED_LIMIT_ENTRY 0x0030

// Icons: the application icon (caption, taskbar, minimized painting, drag
// icon, About box; drawn at 16, 24, 32, 48, 64 and 256 pixels) and the folder
// picture on the setup page's browse button (drawn at 16, 20, 24 and 32
// pixels: load the size that fits the button at the window's DPI).
#define IDI_APP_ICON 128
#define IDI_FOLDER 138

// Cursor: the hand cursor both pages load.
#define IDR_HAND_CURSOR 144

// Bitmaps: the 64x16 strip of four 16x16 job-table row images (white is the
// transparent colour) and the 95x240 side picture at the left of both pages,
// each also drawn at 125, 150 and 200 % of that size for higher DPIs.
#define IDB_ROW_IMAGES 130
#define IDB_ROW_IMAGES_125 131
#define IDB_ROW_IMAGES_150 132
#define IDB_ROW_IMAGES_200 133
#define IDB_SIDE_PICTURE 148
#define IDB_SIDE_PICTURE_125 149
#define IDB_SIDE_PICTURE_150 150
#define IDB_SIDE_PICTURE_200 151

// Row-image indices inside IDB_ROW_IMAGES, left to right.
#define ROW_IMAGE_IDLE 0
#define ROW_IMAGE_BUSY 1
#define ROW_IMAGE_CHECKING 2
#define ROW_IMAGE_DONE 3
#define ROW_IMAGE_COUNT 4
#define ROW_IMAGE_SIZE 16 /* at 100 % */

// Buttons shared by every dialog: the standard OK (Next >> on the setup page,
// OK in the About box) and Cancel (Cancel / Quit) command ids.
#define IDC_NEXT_BUTTON 1
#define IDC_CANCEL_BUTTON 2

// About box controls: the application icon, the name and version line, the
// maker's notice, and the line (hidden in the template) that a build without
// a publisher key shows.
#define IDC_ABOUT_ICON 1014
#define IDC_ABOUT_NAME 1015
#define IDC_ABOUT_NOTICE 1016
#define IDC_ABOUT_UNSIGNED 1017

// The speed limit question: its text and the field for the limit.
#define IDC_SPEED_LIMIT_QUESTION 1020
#define IDC_SPEED_LIMIT_FIELD 1021

// Setup page controls.
#define IDC_INSTALL_BOX 1002
#define IDC_BROWSE_BUTTON 1003
#define IDC_LOCATION_FIELD 1004
#define IDC_SETUP_INFO 1008
#define IDC_SETUP_SIDE_PICTURE 1012

// Progress page controls.
#define IDC_JOB_TABLE 1005
#define IDC_STATUS_LINE 1006
#define IDC_LOCATION_LINE 1007
#define IDC_PROGRESS_BAR 1009
#define IDC_PROGRESS_SIDE_PICTURE 1013

// Timers: the setup page's one-shot start timer and the progress page's
// periodic tick, both with a 500 ms delay.
#define IDT_SETUP_START 0xFEEDC0DE
#define IDT_PROGRESS_TICK 201527
#define PAGE_TIMER_DELAY_MS 500

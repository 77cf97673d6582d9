// The program's resource ids, shared by the resource script and the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_AUTOUPDATEAPP_DIALOG 110

#define IDC_EXIT 1078
#define IDC_RETRY 1066
#define IDC_BACKGROUND 1074
#define IDC_VERSION 1015
#define IDC_PROGRESS 1014
#define IDC_STATUS 1016

// Skin pictures: the progress pieces and the button strips (custom types "DATA" and "PNG"),
// the background pictures (RCDATA).
#define IDR_PROGRESS_TRACK 158
#define IDR_PROGRESS_LEFT 159
#define IDR_PROGRESS_MIDDLE 160
#define IDR_PROGRESS_RIGHT 161
#define IDR_BUTTON_RETRY 162
#define IDR_BUTTON_EXIT 163
#define IDR_BACKGROUND_FIRST 200

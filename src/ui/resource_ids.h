// Resource and control identifiers shared by the resource script and the dialog code.
#pragma once

#define IDD_CONTROL_PANEL 101
#define IDD_FIRMWARE_NOTICE 102

#define IDB_MAKER_WORDMARK 102
#define IDB_PANEL_MARK 104
#define IDI_TESSEL 106
#define IDB_MICROPHONE 108
#define IDB_UPDATE_SIGN 109

// Control panel.
#define IDC_METRICS_LINE 1004
#define IDC_BUFFER_SIZE_LABEL 1012
#define IDC_MODELESS_CHECK 1013
#define IDC_OUTPUT_LABEL 1014
#define IDC_AUTO_OPEN_CHECK 1015
#define IDC_VARIANT 1016
#define IDC_DEVICE_TITLE 1017
#define IDC_BUFFER_SIZE_LIST 1018
#define IDC_VERSION 1019
#define IDC_GAIN_GROUP 1044
#define IDC_OUTPUT_LIST 1045

// Firmware-update notice.
#define IDC_NOTICE_BODY 1046
#define IDC_NOTICE_TITLE 1047
#define IDC_NOTICE_LINK 1048
#define IDC_NOTICE_STEPS 1049

// The pictures: static controls whose images the dialogs scale to the display.
#define IDC_PANEL_MARK 1090
#define IDC_PANEL_WORDMARK 1091
#define IDC_NOTICE_MICROPHONE 1092
#define IDC_NOTICE_UPDATE_SIGN 1093
#define IDC_NOTICE_WORDMARK 1094

#define IDT_METRICS 100

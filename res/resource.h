// Resource and control ids shared by korvanel.rc and the dialog code.
// Plain #defines: the resource compiler reads this file too.
#ifndef KORVANEL_RESOURCE_H
#define KORVANEL_RESOURCE_H

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
// The framework's Help command: F1 in either dialog.
#define ID_HELP 0xE146

#define IDC_PORT_NAME 1000
#define IDC_INVERTER_ADDRESS 1001
#define IDC_REGISTER_ADDRESS 1002
#define IDC_LENGTH_OR_DATA 1003
#define IDC_FUNCTION_SELECTOR 1004
#define IDC_RESULT_TEXT 1005
#define IDC_RUN_BUTTON 1006
#define IDC_PORT_LABEL 1007
#define IDC_ADDRESS_LABEL 1008
#define IDC_REGISTER_LABEL 1009
#define IDC_LENGTH_LABEL 1010
#define IDC_POLL_PERIOD 1011
#define IDC_NOTE 1012
#define IDC_READ_SINGLE_TIME 1013
#define IDC_PARAM_SELECTOR 1014
#define IDC_PARAM_LABEL 1015
#define IDC_PARAMETER_DATA 1016
#define IDC_HEX_VIEW 1018
#define IDC_LOCAL_VERSION 1020

#define IDC_STATIC -1

#endif

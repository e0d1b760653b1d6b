// Resource ids, shared by the resource script and the code.
#pragma once

#define IDR_MAINFRAME 102

#define IDD_FAILED_JA 131
#define IDD_BOTH_JA 132
#define IDD_APPLIED_JA 133
#define IDD_FAILED_EN 136
#define IDD_BOTH_EN 139
#define IDD_APPLIED_EN 140

#define IDC_UPPER_LIST 1004
#define IDC_LOWER_LIST 1005
#define IDC_STATIC -1

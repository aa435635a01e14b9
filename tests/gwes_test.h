// Control ids of the dialog manager's own test dialog (gwes_test.rc).
#pragma once

#define IDC_T_LIST 201
#define IDC_T_SORTED 202
#define IDC_T_CHECK 203
#define IDC_T_GO 204
#define IDC_T_LABEL 205
#define IDC_T_HIDDEN 206
#define IDC_T_OUTSIDE 207

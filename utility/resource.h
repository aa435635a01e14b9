// Resource ids of QSXPORT: its icon, the main dialog's controls, the warning dialog and
// the string table. Shared by the resource script and the program's code.
#pragma once

#define IDI_QSXPORT 1

// Main dialog "QSXPORT".
#define IDC_PORTS 27
#define IDC_INTERFACE 110
#define IDC_FIFO 111
#define IDC_APPLYALL 120
#define IDC_SAVE 130
#define IDC_EXIT 140
#define IDC_INTERFACE_LABEL 1901
#define IDC_FIFO_LABEL 1902
#define IDC_PORTS_LABEL 1911
#define IDC_MODEL 1942

// Warning dialog.
#define IDD_WARNING 2003
#define IDC_WARNING_TEXT 1941

// String table.
#define IDS_SAVE_QUESTION 1944
#define IDS_ONLY_RS232_7040 1945
#define IDS_ONLY_RS232_7160_8 1946
#define IDS_ONLY_RS232_7160_16 1947

// Resource ids shared by the launcher's code and its resource script.
// Plain #defines only, so that both the C++ compiler and the resource
// compiler can read this file; the script keeps the templates themselves.
#pragma once

#define IDS_TITLE 103         // string: the main window's title
#define IDS_CLASS 104         // string: the main window's class name
#define IDS_FILE_ERROR 107    // string: text of the error box (zh-CN only)
#define IDD_PROGRESS 131      // dialog: the progress dialog
#define IDI_SHELL 132         // icon group: the file's icon in the system's shell
#define IDI_DIALOG 134        // icon group: shown by the dialog and its caption
#define IDC_DIALOG_ICON 1002  // control: the dialog's static icon

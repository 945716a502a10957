/* Identifiers of the language module's resources that the tray host uses besides the numbered strings. */
#pragma once

#define IDM_TRAY 100
#define IDC_SYSTEM_HEALTH 4000
#define IDC_ABOUT 4001
#define IDC_UPDATE 4002
#define IDC_EXIT 4003
#define IDC_AGENT 4004
#define IDC_LEGACY_OPTIONS 4005
#define IDC_TITLE_ITEM 4006

/* Resource numbers of the program: the settings dialog and its controls, the tray menu and its
   commands, the tray icons. Shared by kestova.rc and the Windows dialog code. */
#ifndef KESTOVA_RESOURCE_H
#define KESTOVA_RESOURCE_H

#define IDD_SETTINGS 103
#define IDC_SERVER 1000
#define IDC_USER 1002
#define IDC_PASSWORD 1004
#define IDC_LIST 1005
#define IDC_MAILER 1006
#define IDC_LED 1007
#define IDC_INTERVAL 1008
#define IDC_ENCRYPTION 1009
#define IDC_NEWONLY 1010
#define IDC_NOTIFY 1011
#define IDC_PORT 1012
#define IDC_CERTPIN 1013
#define IDC_AUTH 1014
#define IDC_OAUTH 1015
#define IDC_CLIENTID 1016
#define IDC_CLIENTSECRET 1017
#define IDC_TENANT 1018
#define IDC_SIGNIN 1019
#define IDC_ADVANCED 1020
#define IDC_TOKENSTATE 1021

/* The second dialog, "詳細設定": what the program has beyond the settings dialog's rows. */
#define IDD_ADVANCED 104

/* The accounts after the first: their list in 詳細設定 with its buttons, and the dialog of one
   account, which has the settings dialog's IDs for the fields both have and IDC_NAME. */
#define IDD_ACCOUNT 105
#define IDC_NAME 1022
#define IDC_ACCOUNTS 1023
#define IDC_ACCOUNTADD 1024
#define IDC_ACCOUNTEDIT 1025
#define IDC_ACCOUNTREMOVE 1026
#define IDC_ACCOUNTUP 1027
#define IDC_ACCOUNTDOWN 1028

/* The C++ code takes these from port/messages.h. */
#ifdef RC_INVOKED
#define IDR_TRAYMENU 102
#define IDI_IDLE 101
#define IDI_MAIL 102
#define IDI_MANYMAIL 103
#define IDI_BUSY 104
#define IDM_CHECK 40001
#define IDM_PROPERTIES 40002
#define IDM_EXIT 40003
#endif

#endif

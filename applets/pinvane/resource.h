/*
 * Resource ids of the GPIO test applet.
 */
#ifndef PINVANE_RESOURCE_H
#define PINVANE_RESOURCE_H

/* Strings */
#define IDS_PINVANE_NAME 1
#define IDS_PINVANE_INFO 2

/* Icons */
#define IDI_PINVANE_SMALL 4
#define IDI_PINVANE 5

/* Dialogs */
#define IDD_PINVANE 102

/* Controls: outputs (check boxes), pin n is IDC_PORT1 + n - 1 */
#define IDC_PORT1 1000
#define IDC_PORT2 1001
#define IDC_PORT3 1002
#define IDC_PORT4 1003
#define IDC_PORT5 1004
#define IDC_PORT6 1005
#define IDC_PORT7 1006
#define IDC_PORT8 1007
#define IDC_PORT9 1008

/* Controls: input indicators (radio buttons), pin n is IDC_INPUT1 + n - 1 */
#define IDC_INPUT1 1010
#define IDC_INPUT2 1011
#define IDC_INPUT3 1012
#define IDC_INPUT4 1013
#define IDC_INPUT5 1014
#define IDC_INPUT6 1015
#define IDC_INPUT7 1016
#define IDC_INPUT8 1017
#define IDC_INPUT9 1018

#endif

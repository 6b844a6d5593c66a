/*
 * Resource ids of the serial debug port switch.
 */
#ifndef DOVREL_RESOURCE_H
#define DOVREL_RESOURCE_H

/* Strings */
#define IDS_DOVREL_NAME 1
#define IDS_DOVREL_INFO 2

/* Icons */
#define IDI_DOVREL 102
#define IDI_DOVREL_SMALL 103

/* Dialogs */
#define IDD_DOVREL 101

/* Controls */
#define IDC_ENABLE 1
#define IDC_DISABLE 2

#endif

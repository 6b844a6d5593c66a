/*
 * Resource ids of the PWM test applet.
 */
#ifndef HEMLARK_RESOURCE_H
#define HEMLARK_RESOURCE_H

/* Strings */
#define IDS_HEMLARK_NAME 1
#define IDS_HEMLARK_INFO 2

/* Icons */
#define IDI_HEMLARK 102
#define IDI_HEMLARK_SMALL 103

/* Dialogs */
#define IDD_PWM 2000

/* Controls */
#define IDC_DONE 1
#define IDC_PWM0_CR 1001
#define IDC_PWM0_DCR 1005
#define IDC_PWM0_PCR 1006
#define IDC_PWM1_CR 1007
#define IDC_PWM1_DCR 1008
#define IDC_PWM1_PCR 1009

#endif

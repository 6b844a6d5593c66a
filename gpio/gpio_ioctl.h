/*
 * Requests of the board's GPIO/PWM driver "GPI1:": five I/O control codes
 * (device type 0x812C, buffered, any access) and their two records.
 */
#ifndef GPIO_IOCTL_H
#define GPIO_IOCTL_H

#include "../platform/platform.h"

#define GPIO_DEVICE_NAME TEXT("GPI1:")

#define GPIO_DEVICE_TYPE 0x812C
#define GPIO_CTL_CODE(function) \
    ((DWORD)(((DWORD)GPIO_DEVICE_TYPE << 16) | ((DWORD)(function) << 2)))

#define IOCTL_GPIO_SET_PIN GPIO_CTL_CODE(1) /* 0x812C0004 */
#define IOCTL_GPIO_GET_PIN GPIO_CTL_CODE(2) /* 0x812C0008 */
#define IOCTL_PWM_START GPIO_CTL_CODE(5)    /* 0x812C0014 */
#define IOCTL_PWM_STOP GPIO_CTL_CODE(6)     /* 0x812C0018 */
#define IOCTL_PWM_SET GPIO_CTL_CODE(7)      /* 0x812C001C */

/* One pin: the level to drive, or on return from a get the level read. */
typedef struct GpioRequest {
    LONG pin;
    LONG level;
} GpioRequest;

/* One PWM channel: enable is read by start and stop, the three register
   values by set. */
typedef struct PwmRequest {
    DWORD channel;
    DWORD enable;
    DWORD cr;
    DWORD dcr;
    DWORD pcr;
} PwmRequest;

/* The records cross to the driver byte for byte. */
typedef char GpioRequestIs8Bytes[sizeof(GpioRequest) == 8 ? 1 : -1];
typedef char PwmRequestIs20Bytes[sizeof(PwmRequest) == 20 ? 1 : -1];
typedef char SetPinCodeIsRight[IOCTL_GPIO_SET_PIN == 0x812C0004u ? 1 : -1];
typedef char PwmSetCodeIsRight[IOCTL_PWM_SET == 0x812C001Cu ? 1 : -1];

#endif

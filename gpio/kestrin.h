/*
 * kestrin: one GPIO pin per call, and a call to power the system off.
 * Each pin call opens "GPI1:", sends one request and closes it again.
 */
#ifndef KESTRIN_H
#define KESTRIN_H

#include "../platform/platform.h"

#if defined(_WIN32) || defined(UNDER_CE)
#ifdef KESTRIN_BUILD
#define KESTRIN_API extern "C" __declspec(dllexport)
#else
#define KESTRIN_API extern "C" __declspec(dllimport)
#endif
#else
#define KESTRIN_API extern "C" __attribute__((visibility("default")))
#endif

/* Drives pin high (level non-zero) or low; non-zero if the driver accepted. */
KESTRIN_API BOOL WINAPI gpio_setPin(LONG pin, LONG level);

/* Reads pin into *level; non-zero if the driver answered. */
KESTRIN_API BOOL WINAPI gpio_getPin(LONG pin, LONG *level);

/* Asks the system to power off. */
KESTRIN_API void WINAPI gpio_gwesPowerOffSystem(void);

#endif

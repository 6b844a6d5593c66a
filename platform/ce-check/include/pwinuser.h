/*
 * The board's OEM window-system header, for the board-compile check only:
 * the one call the product takes from it.
 */
#ifndef CE_CHECK_PWINUSER_H
#define CE_CHECK_PWINUSER_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Powers the system off. */
void GwesPowerOffSystem(void);

#ifdef __cplusplus
}
#endif

#endif

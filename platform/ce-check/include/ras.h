/*
 * The board's ras.h for the board-compile check only, in place of the
 * desktop's (whose entry record is another, larger one).
 */
#ifndef CE_CHECK_RAS_H
#define CE_CHECK_RAS_H

#include <windows.h>

#ifdef __cplusplus
#define RAS_API extern "C"
#endif
#include "../../ras_entry.h"

#endif

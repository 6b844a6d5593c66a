// Modules and their resources in the host stand-in, for host programs (the
// Control Panel, the tests) and for the module anchor linked into every
// product module.  Product code never includes this.
//
// Every product module (applet, library, program) carries a module anchor
// (cmake: product_target or product_resources) that registers it when it is
// loaded, under its file name, with the resources compiled from its script,
// and takes it out again when it is unloaded (dlclose).  Its HINSTANCE is
// then GetModuleHandleW(file name), e.g. GetModuleHandleW(u"Pinvane.cpl")
// after dlopen, or host_module_from_address(dlsym(lib, "CPlApplet")).  The
// main program is always known: GetModuleHandleW(NULL).
#pragma once

#include "ce_host.h"

#include <stddef.h>
#include <stdint.h>

// Called by the module anchor: anchor is an address inside the module,
// resources the module's compiled .res image (null and 0 when it has none).
CE_API void host_module_attach(const void *anchor, const void *resources, size_t size);
// Called by the module anchor as the module unloads.
CE_API void host_module_detach(const void *anchor);

// The module that holds address, or null (ERROR_MOD_NOT_FOUND) when that
// module is not registered.
CE_API HMODULE host_module_from_address(const void *address);

// Modules registered now, the main program among them.
CE_API size_t host_module_count(void);

// The pixels of an icon from LoadIconW, as 0xAARRGGBB words, rows from the
// top.  want_size picks the image of the icon's group nearest to that size
// (0: the image LoadIconW chose).  *width and *height are set whenever the
// icon is known; FALSE with ERROR_INSUFFICIENT_BUFFER when room (in pixels)
// is too small, FALSE with ERROR_INVALID_HANDLE when the icon is unknown or
// its module is gone, FALSE with ERROR_INVALID_DATA when the image cannot be
// decoded.  Images of 1, 4, 8, 24 and 32 bits per pixel with their AND mask.
CE_API BOOL host_icon_pixels(HICON icon, int want_size, int *width, int *height, uint32_t *argb,
                             size_t room);

// Unloads a library loaded with dlopen, as the platform's FreeLibrary
// would: first waits (up to 2 s) for the threads started in it to return,
// so none is left running code that is about to be unmapped.  (The wait
// cannot happen inside dlclose: a thread leaving by unwinding needs the
// loader lock that dlclose holds.)  dlclose's result.
CE_API int host_unload_module(void *library);

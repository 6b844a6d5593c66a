/*
 * kestrin: stateless GPIO pin access.  Every pin call owns one driver
 * handle: opened on entry, closed on every way out (a termination handler,
 * so a fault inside the request still closes it), never kept.
 */
#define KESTRIN_BUILD
#include "kestrin.h"
#include "gpio_ioctl.h"

/* One pin request on an open handle, run under the termination handler. */
typedef struct PinCall {
    HANDLE driver;
    DWORD code;
    GpioRequest request;
    BOOL result;
} PinCall;

static HANDLE open_driver(void)
{
    return CreateFileW(GPIO_DEVICE_NAME, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
}

static void send_request(void *context)
{
    PinCall *call = (PinCall *)context;
    if (call->code == IOCTL_GPIO_GET_PIN) {
        DWORD returned = 0;
        call->result = DeviceIoControl(call->driver, call->code, &call->request, sizeof call->request,
                                       &call->request, sizeof call->request, &returned, NULL);
    } else {
        call->result = DeviceIoControl(call->driver, call->code, &call->request, sizeof call->request,
                                       NULL, 0, NULL, NULL);
    }
}

static void close_driver(void *context)
{
    CloseHandle(((PinCall *)context)->driver);
}

/* Opens the driver, sends the request and closes it; FALSE if the open or
   the request failed. */
static BOOL pin_call(PinCall *call)
{
    call->driver = open_driver();
    if (call->driver == INVALID_HANDLE_VALUE)
        return FALSE;
    call->result = FALSE;
    platform_try_finally(send_request, close_driver, call);
    return call->result;
}

BOOL WINAPI gpio_setPin(LONG pin, LONG level)
{
    PinCall call;
    call.code = IOCTL_GPIO_SET_PIN;
    call.request.pin = pin;
    call.request.level = level != 0 ? 1 : 0;
    return pin_call(&call);
}

BOOL WINAPI gpio_getPin(LONG pin, LONG *level)
{
    PinCall call;
    if (level == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    call.code = IOCTL_GPIO_GET_PIN;
    call.request.pin = pin;
    call.request.level = 0;
    if (!pin_call(&call) && call.driver == INVALID_HANDLE_VALUE)
        return FALSE;
    /* Whatever the request's result: the caller looks at the level only
       when the result is non-zero. */
    *level = call.request.level;
    return call.result;
}

void WINAPI gpio_gwesPowerOffSystem(void)
{
    GwesPowerOffSystem();
}

#if defined(_WIN32) || defined(UNDER_CE)
BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
#endif

/* Declarations that Debian's mingw-w64 headers (v10) lack but ggml's CPU
 * backend uses when targeting Windows 8 and later. Force-included into the
 * CPU backend only; layout as documented for SetThreadInformation. */
#pragma once
#ifndef THREAD_POWER_THROTTLING_CURRENT_VERSION
typedef struct _THREAD_POWER_THROTTLING_STATE {
    unsigned long Version;
    unsigned long ControlMask;
    unsigned long StateMask;
} THREAD_POWER_THROTTLING_STATE;
#define THREAD_POWER_THROTTLING_CURRENT_VERSION 1
#define THREAD_POWER_THROTTLING_EXECUTION_SPEED 0x1
#endif

// Host stand-in for the runtime library's thread start and end (<process.h>).
#pragma once

#include <windows.h>

uintptr_t _beginthreadex(void *security, unsigned stackSize, unsigned(__stdcall *start)(void *),
                         void *argument, unsigned flags, unsigned *threadId);
void _endthreadex(unsigned exitCode);

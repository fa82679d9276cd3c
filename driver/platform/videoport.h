// The one header through which driver code reaches the platform: the video port driver's and the
// kernel's types, records, control codes and routines.
//
// The Windows build takes them from the published DDK headers; the host build takes them from
// videoport_host.h, whose records keep the i386 layout and whose routines the simulated machine
// implements. Driver code compiles unchanged against both.
#pragma once

#if defined(_WIN32)
#include "videoport_win.h"
#else
#include "videoport_host.h"
#endif

// A wide text literal where the platform's routines take a PWSTR that they only read.
#define WIDE_NAME(text) const_cast<PWSTR>(WIDE(text))

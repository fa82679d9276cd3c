// The platform routines a driver image imports, as this machine provides them. Each one is a small
// adapter: it turns the image's 32-bit arguments into what the port's and the kernel's methods take
// (machine addresses into host pointers through Kernel::HostPointer, 4-byte handle and pointer
// slots into the host's own) and calls the very method that the host build's entry points call, so
// that both builds of the driver are traced, checked and made to fail alike.
#pragma once

#include "image/routines.h"
#include "kernel/kernel.h"
#include "port/port.h"

namespace sim {

// Every routine of image::RoutineTable(), reaching `port` and `kernel`. A pointer argument that a
// routine reads or writes must lie in machine memory: one that does not ends the image's call with
// an image::CpuFault, where the host build would crash.
image::PlatformRoutines ImageRoutines(VideoPort& port, Kernel& kernel);

}  // namespace sim

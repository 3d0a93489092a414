// Simulated service control manager and device notifications: filled in with the service runtime.
#include "sim_windows.h"

namespace sim {

void ResetServices() {}

void BindServices(Win32Api&) {}

}  // namespace sim

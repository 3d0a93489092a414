// Simulated Setup API and configuration manager: filled in with device discovery.
#include "sim_windows.h"

namespace sim {

void ResetSetupApi() {}

void BindSetupApi(Win32Api&) {}

}  // namespace sim

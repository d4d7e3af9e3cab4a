#pragma once
// Writing the port name and the device list into grafimo.cfg, and what the user is told
// when that cannot be done.

#include <QString>

#include <vector>

#include "grafimo/config_file.h"

namespace grafimo {

// Stores the port name opened last; a name too long for the file is not stored.
void storePortName(const char* configFile, const QString& name);
// Replaces the device records. `fromDelete`: a missing file is said (it is made anew).
void storeDeviceList(const char* configFile, const std::vector<DeviceRecord>& records, bool fromDelete);

} // namespace grafimo

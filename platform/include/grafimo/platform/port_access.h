#pragma once
// What to tell the user when a serial port exists but could not be opened, beyond the
// status-bar text: how to get the right to open it, or that another program holds it.

#include <string>

namespace grafimo::platform {

// `openErrno` is SerialPort::openErrno() after an open that failed. For EACCES/EPERM the
// text names the group that owns the device (usually dialout) and the command that adds
// the user to it; for EBUSY/EWOULDBLOCK it says the port is busy. Empty for any other
// error, when there is nothing the user can do about it. UTF-8, in Russian.
std::string portAccessAdvice(const std::string& path, int openErrno);

} // namespace grafimo::platform

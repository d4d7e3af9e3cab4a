#pragma once
// The serial ports the port dialog offers: what the system reports as serial ports, by
// device path, plus a terminal the user named before (a pseudo-terminal or a link to
// one, which the system's list never shows).

#include <QString>
#include <QStringList>
#include <functional>

namespace grafimo {

// Device paths of the system's serial ports (e.g. /dev/ttyUSB0), and the stable names
// udev gives USB adapters (/dev/serial/by-id/usb-...), which stay the same whichever
// ttyUSB number the adapter gets; sorted.
QStringList systemSerialPorts();

// For a stable name (a link to one of the system's ports): the kernel name it points to,
// e.g. "ttyUSB0"; empty for any other path.
QString portKernelName(const QString& path);

// The text to show for a port in a list: the path, and for a stable name the kernel name
// beside it ("/dev/serial/by-id/usb-...-port0 (ttyUSB0)").
QString portLabel(const QString& path);

// True when `path` names a terminal device the program may open as a port: after
// resolving symbolic links it must be a character device, and either one of the system's
// serial ports, a pseudo-terminal (/dev/pts/N) or a /dev/tty* device. Other character
// devices are refused, since merely opening some of them has effects.
bool isTerminalDevice(const QString& path);

// The port dialog's list: the system's ports, then `storedName` when it is a terminal
// device that the list lacks.
QStringList portList(const QString& storedName);

// Replaces where systemSerialPorts() gets its ports (tests, unattended runs); an empty
// function restores the system's list.
void setSerialPortSource(std::function<QStringList()> source);

// Replaces the folder of stable names (tests); an empty string restores /dev/serial/by-id.
void setStablePortFolder(const QString& folder);

} // namespace grafimo

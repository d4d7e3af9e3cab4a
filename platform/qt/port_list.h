#pragma once
// The serial ports the port dialog offers: what the system reports as serial ports, by
// device path, plus a terminal the user named before (a pseudo-terminal or a link to
// one, which the system's list never shows).

#include <QString>
#include <QStringList>
#include <functional>

namespace grafimo {

// Device paths of the system's serial ports (e.g. /dev/ttyUSB0), sorted.
QStringList systemSerialPorts();

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

} // namespace grafimo

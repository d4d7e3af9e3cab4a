#include "port_list.h"

#include <QFile>
#include <QSerialPortInfo>

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

namespace grafimo {

namespace {

std::function<QStringList()>& source()
{
    static std::function<QStringList()> s;
    return s;
}

QStringList systemPortsUnsorted()
{
    QStringList ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : infos)
        ports << info.systemLocation();
    return ports;
}

// The path with every symbolic link resolved; empty when it does not exist.
std::string resolved(const QByteArray& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.constData(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

} // namespace

void setSerialPortSource(std::function<QStringList()> s)
{
    source() = std::move(s);
}

QStringList systemSerialPorts()
{
    QStringList ports = source() ? source()() : systemPortsUnsorted();
    ports.removeDuplicates();
    ports.sort();
    return ports;
}

bool isTerminalDevice(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const std::string real = resolved(native);
    if (real.empty())
        return false;
    if (real.rfind("/dev/pts/", 0) == 0 || real.rfind("/dev/tty", 0) == 0)
        return true;
    for (const QString& port : systemSerialPorts()) {
        if (resolved(QFile::encodeName(port)) == real)
            return true;
    }
    return false;
}

QStringList portList(const QString& storedName)
{
    QStringList ports = systemSerialPorts();
    if (!storedName.isEmpty() && !ports.contains(storedName) && isTerminalDevice(storedName))
        ports << storedName;
    return ports;
}

} // namespace grafimo

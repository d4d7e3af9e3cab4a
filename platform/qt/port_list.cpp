#include "port_list.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace grafimo {

namespace {

std::function<QStringList()>& source()
{
    static std::function<QStringList()> s;
    return s;
}

QString& stableFolder()
{
    static QString folder;
    return folder;
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

// Links in the stable-name folder that lead to one of `ports`, as (link, kernel path).
QList<std::pair<QString, QString>> stableNames(const QStringList& ports)
{
    QList<std::pair<QString, QString>> names;
    const QString folder = stableFolder().isEmpty() ? QStringLiteral("/dev/serial/by-id") : stableFolder();
    const QFileInfoList links = QDir(folder).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (links.isEmpty())
        return names;
    std::vector<std::string> real;
    for (const QString& port : ports)
        real.push_back(resolved(QFile::encodeName(port)));
    for (const QFileInfo& link : links) {
        if (!link.isSymLink())
            continue;
        const std::string target = resolved(QFile::encodeName(link.absoluteFilePath()));
        for (std::size_t i = 0; !target.empty() && i < real.size(); ++i) {
            if (real[i] == target) {
                names.append({link.absoluteFilePath(), QFile::decodeName(QByteArray::fromStdString(target))});
                break;
            }
        }
    }
    return names;
}

QStringList kernelPorts()
{
    QStringList ports = source() ? source()() : systemPortsUnsorted();
    ports.removeDuplicates();
    return ports;
}

} // namespace

void setStablePortFolder(const QString& folder)
{
    stableFolder() = folder;
}

QString portKernelName(const QString& path)
{
    for (const auto& [link, target] : stableNames(kernelPorts())) {
        if (link == path || link == QFileInfo(path).absoluteFilePath())
            return target.startsWith(QStringLiteral("/dev/")) ? target.mid(5) : target;
    }
    return {};
}

QString portLabel(const QString& path)
{
    const QString kernel = portKernelName(path);
    return kernel.isEmpty() ? path : QStringLiteral("%1 (%2)").arg(path, kernel);
}

void setSerialPortSource(std::function<QStringList()> s)
{
    source() = std::move(s);
}

QStringList systemSerialPorts()
{
    QStringList ports = kernelPorts();
    for (const auto& name : stableNames(ports))
        ports << name.first;
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

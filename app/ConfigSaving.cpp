#include "ConfigSaving.h"

#include <QFile>

#include "fault_text.h"
#include "grafimo/port_name.h"
#include "message_box.h"

namespace grafimo {

namespace {

const QString kError = QStringLiteral("Ошибка!");
const QString kConfigMissing = QStringLiteral("Файл конфигурации не найден!");

} // namespace

void storePortName(const char* configFile, const QString& name)
{
    const QByteArray bytes = QFile::encodeName(name);
    if (static_cast<std::size_t>(bytes.size()) > kMaxPortNameLength) {
        Application_MessageBox(
            QStringLiteral("Имя порта длиннее %1 байт, поэтому оно не сохранено в grafimo.cfg:\n%2")
                .arg(kMaxPortNameLength)
                .arg(name),
            kError, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    switch (writePortName(configFile, bytes.toStdString())) {
    case ConfigWrite::Ok:
        break;
    case ConfigWrite::Missing:
        Application_MessageBox(QStringLiteral("нету файла!"), kError, MB_OK);
        break;
    case ConfigWrite::Failed:
        Application_MessageBox(QStringLiteral("Не удалось записать имя порта в grafimo.cfg."), kError,
                               MB_OK | MB_ICONEXCLAMATION);
        break;
    }
}

void storeDeviceList(const char* configFile, const std::vector<DeviceRecord>& records, bool fromDelete)
{
    const RewriteResult result = writeDeviceRecords(configFile, records);
    if (!result.existed && fromDelete)
        Application_MessageBox(kConfigMissing, kError, MB_OK);
    if (result.status != ConfigWrite::Ok) {
        Application_MessageBox(QStringLiteral("Не удалось записать файл конфигурации grafimo.cfg:\n%1")
                                   .arg(result.fault ? faultReason(result.fault) : QString::fromStdString(result.error)),
                               kError, MB_OK | MB_ICONEXCLAMATION);
    }
}

} // namespace grafimo

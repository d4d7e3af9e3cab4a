#include "fault_text.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <new>

namespace grafimo {

QString reasonText(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT: return QStringLiteral("Нет места на диске");
    case EACCES:
    case EPERM: return QStringLiteral("Нет доступа");
    case ENOENT: return QStringLiteral("Файл не найден");
    case EROFS: return QStringLiteral("Диск доступен только для чтения");
    case EISDIR: return QStringLiteral("Это папка, а не файл");
    case ENOTDIR: return QStringLiteral("Это не папка");
    case EEXIST: return QStringLiteral("Файл уже существует");
    case ENAMETOOLONG: return QStringLiteral("Слишком длинное имя файла");
    case ELOOP: return QStringLiteral("Слишком много ссылок подряд");
    case EIO: return QStringLiteral("Ошибка ввода-вывода");
    case EFBIG: return QStringLiteral("Файл слишком велик");
    case EBUSY:
    case ETXTBSY: return QStringLiteral("Файл занят");
    case EMFILE:
    case ENFILE: return QStringLiteral("Открыто слишком много файлов");
    case ENOMEM: return QStringLiteral("Не хватает памяти");
    default: break;
    }
    return QString::fromLocal8Bit(std::strerror(error));
}

QString faultReason(const FileFault& fault)
{
    if (fault.step == FileFault::Step::ForeignLink)
        return QStringLiteral("Это ссылка, созданная другим пользователем; запись по ней не выполняется");
    // A new file that cannot be made for want of its folder.
    if (fault.step == FileFault::Step::Create && fault.error == ENOENT)
        return QStringLiteral("Папка не найдена");
    return reasonText(fault.error);
}

QString faultReason(const std::exception_ptr& fault)
{
    try {
        std::rethrow_exception(fault);
    } catch (const std::bad_alloc&) {
        return QStringLiteral("не хватает памяти");
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    return QStringLiteral("непредвиденная ошибка");
}

QString faultText(const FileFault& fault)
{
    const QString file = QFile::decodeName(QByteArray::fromStdString(fault.file.string()));
    QString what;
    switch (fault.step) {
    case FileFault::Step::None: return {};
    case FileFault::Step::Open: what = QStringLiteral("Не удалось открыть %1"); break;
    case FileFault::Step::Create: what = QStringLiteral("Не удалось создать %1"); break;
    case FileFault::Step::Read: what = QStringLiteral("Не удалось прочитать %1"); break;
    case FileFault::Step::Write: what = QStringLiteral("Не удалось записать %1"); break;
    case FileFault::Step::Replace: what = QStringLiteral("Не удалось заменить %1"); break;
    case FileFault::Step::Permissions: what = QStringLiteral("Не удалось установить права доступа к %1"); break;
    case FileFault::Step::ForeignLink: what = QStringLiteral("%1"); break;
    }
    return what.arg(file) + QStringLiteral(": ") + faultReason(fault);
}

} // namespace grafimo

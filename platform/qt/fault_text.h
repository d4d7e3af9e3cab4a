#pragma once
// Failures of files and worker threads worded for the windows, in Russian: what failed, on which file, and
// why in the user's words ("Нет места на диске", "Нет доступа", "Файл не найден", ...).
// The system's own text of an error number is kept only for the rare ones without a word.

#include <QString>

#include <exception>

#include "grafimo/file_fault.h"

namespace grafimo {

// Why, in a few words: "Нет места на диске".
QString reasonText(int error);
// Why the step failed; for a link of another user, that it was not followed.
QString faultReason(const FileFault& fault);
// Why a worker thread stopped: "не хватает памяти".
QString faultReason(const std::exception_ptr& fault);
// What failed, on which file, and why: "Не удалось записать файл /x/grafimo.cfg: Нет места на диске".
QString faultText(const FileFault& fault);

} // namespace grafimo

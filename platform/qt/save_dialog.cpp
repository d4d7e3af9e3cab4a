#include "save_dialog.h"

#include <QApplication>
#include <QFileDialog>

#include "fault_text.h"
#include "export_progress.h"
#include "message_box.h"

namespace grafimo {

QFileDialog* createSaveDialog(QWidget* parent)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    // The chosen name is used as typed and an existing file is replaced without a question.
    dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    // The toolkit's own dialog: the same on every desktop, and one the tests can drive.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setDefaultSuffix(QString());
    // Wide enough for the long suggested names and the size and date columns.
    dialog->resize(760, 480);
    return dialog;
}

std::optional<QString> askSaveFile(QFileDialog& dialog, const QString& suggested)
{
    dialog.selectFile(suggested);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return std::nullopt;
    return files.first();
}

bool runExport(QWidget* parent, const QString& file,
               const std::function<ExportResult(const ExportProgress& progress)>& exportTo)
{
    ExportProgressBox progress(parent, QStringLiteral("Сохранение"), QStringLiteral("Сохранение файла\n%1").arg(file));
    const ExportResult result = exportTo([&](std::uint64_t done, std::uint64_t total) {
        return progress.step(total == 0 ? 1000 : static_cast<int>(done * 1000 / total));
    });
    progress.close();
    if (result.ok || result.cancelled)
        return result.ok;
    Application_MessageBox(QStringLiteral("Не удалось сохранить файл\n%1\n\n%2")
                               .arg(file, result.fault ? faultReason(result.fault)
                                                       : QString::fromLocal8Bit(result.error.c_str())),
                           QStringLiteral("Ошибка!"), MB_OK | MB_ICONSTOP);
    return false;
}

} // namespace grafimo

#include "export_progress.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QProgressDialog>

#include <atomic>

namespace grafimo {

namespace {
std::atomic<bool> exitCancel{false};
}

void cancelExportsForExit()
{
    exitCancel.store(true);
}

bool exportsCancelledForExit()
{
    return exitCancel.load();
}

ExportProgressBox::ExportProgressBox(QWidget* parent, const QString& caption, const QString& label)
    : dialog_(std::make_unique<QProgressDialog>(label, QStringLiteral("Отмена"), 0, 1000, parent)), label_(label)
{
    dialog_->setWindowTitle(caption);
    dialog_->setWindowModality(Qt::WindowModal);
    dialog_->setMinimumDuration(500);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setValue(0);
}

ExportProgressBox::~ExportProgressBox()
{
    close();
}

bool ExportProgressBox::step(int permille, const QString& label)
{
    if (!label.isEmpty() && label != label_) {
        label_ = label;
        dialog_->setLabelText(label);
    }
    dialog_->setValue(permille);
    // Before the box is up the window takes no input: a menu command run here would run
    // inside the export. Timers and the signal watch still get their turn.
    QApplication::processEvents(dialog_->isVisible() ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    return !dialog_->wasCanceled() && !exportsCancelledForExit();
}

void ExportProgressBox::close()
{
    dialog_->close();
}

QFileDialog* createFolderDialog(QWidget* parent)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    // The toolkit's own dialog, as the save dialog: the same on every desktop.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setDirectory(QDir::currentPath());
    dialog->resize(760, 480);
    return dialog;
}

std::optional<QString> askFolder(QFileDialog& dialog)
{
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return std::nullopt;
    dialog.setDirectory(chosen.first());
    return chosen.first();
}

} // namespace grafimo

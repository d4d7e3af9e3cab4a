#pragma once
// What the exports run on the GUI thread share: a progress box that blocks the windows from
// the export's first moment, a stop for every export when the program is being ended, and
// the folder dialog of "Сохранить все".

#include <QString>

#include <memory>
#include <optional>

class QFileDialog;
class QProgressDialog;
class QWidget;

namespace grafimo {

// Every export running now or started later stops at its next step: the program is being
// ended by a signal. Nothing half-written is left, as after a cancel.
void cancelExportsForExit();
bool exportsCancelledForExit();

// A progress box that shows up only when the export takes more than half a second. Until
// then the user's input waits, so no menu of the window runs inside the export.
class ExportProgressBox {
public:
    ExportProgressBox(QWidget* parent, const QString& caption, const QString& label);
    ~ExportProgressBox();
    ExportProgressBox(const ExportProgressBox&) = delete;
    ExportProgressBox& operator=(const ExportProgressBox&) = delete;

    // Shows `permille` done (and `label` unless empty) and lets the window system in; false
    // once the user cancelled or the program is being ended.
    bool step(int permille, const QString& label = QString());
    void close();

private:
    std::unique_ptr<QProgressDialog> dialog_;
    QString label_;
};

// Qt's own folder dialog (Russian texts from Qt's translations), starting in the working
// folder.
QFileDialog* createFolderDialog(QWidget* parent);
// The chosen folder, or nothing when the user cancelled; the dialog starts there next time.
std::optional<QString> askFolder(QFileDialog& dialog);

} // namespace grafimo

#pragma once
// The windows' save dialog and the text exports run from it: the suggested name preset, no
// filter, no default suffix, an existing file replaced without a question, the name used as
// typed; a progress box for exports that take a while; failures said with the file's name.

#include <QString>

#include <functional>
#include <optional>

#include "grafimo/export_text.h"

class QFileDialog;
class QWidget;

namespace grafimo {

QFileDialog* createSaveDialog(QWidget* parent);

// Shows the dialog with `suggested` as the file name; the chosen file, or nothing when the
// user cancelled.
std::optional<QString> askSaveFile(QFileDialog& dialog, const QString& suggested);

// Runs `exportTo` (given a progress callback) with a progress box that shows up only when
// the export takes more than half a second; cancelling it stops the export, which then
// leaves no file behind. A failure is shown in a message box naming the file. True when
// the file was written.
bool runExport(QWidget* parent, const QString& file,
               const std::function<ExportResult(const ExportProgress& progress)>& exportTo);

} // namespace grafimo

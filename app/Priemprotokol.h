#pragma once
// The device log window: shows the log a device keeps in its own memory and carries the
// commands that read, erase and configure it. For now the window with its menu; the
// commands come with the device-log transfer.

#include <QDialog>

class QAction;
class QLabel;
class QMenu;
class QMenuBar;

namespace grafimo {

class TForm5 : public QDialog {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);

    QMenuBar* MainMenu1;
    QMenu* N1; // "Файл"
    QAction* N5; // "Сохранить"
    QMenu* N2; // "Протокол"
    QAction* N3; // "Считать"
    QAction* N4; // "Удалитьвсе записи"
    QAction* N6; // "Задать интервал"
    QAction* N7; // "Включить" / "Выключить"
    QLabel* Label1;
};

extern TForm5* Form5;

} // namespace grafimo

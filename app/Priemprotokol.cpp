#include "Priemprotokol.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>

namespace grafimo {

TForm5* Form5 = nullptr;

TForm5::TForm5(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Протоколирование"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    move(243, 175);
    resize(871, 653);

    MainMenu1 = new QMenuBar(this);
    N1 = MainMenu1->addMenu(QStringLiteral("Файл"));
    N5 = N1->addAction(QStringLiteral("Сохранить"));
    N2 = MainMenu1->addMenu(QStringLiteral("Протокол"));
    N3 = N2->addAction(QStringLiteral("Считать"));
    N4 = N2->addAction(QStringLiteral("Удалитьвсе записи"));
    N6 = N2->addAction(QStringLiteral("Задать интервал"));
    N7 = N2->addAction(QStringLiteral("Включить"));

    Label1 = new QLabel(QStringLiteral("Число записей = "), this);
    QFont labelFont = font();
    labelFont.setPixelSize(19);
    Label1->setFont(labelFont);
    Label1->setGeometry(8, 576, 153, 24);
}

} // namespace grafimo

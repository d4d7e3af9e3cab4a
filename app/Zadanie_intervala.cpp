#include "Zadanie_intervala.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "Protokolthead.h"
#include "message_box.h"
#include "text_fit.h"

namespace grafimo {

TForm6* Form6 = nullptr;

TForm6::TForm6(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Задание интервала протоколирования."));
    setFixedSize(279, 96);
    move(473, 322);

    QFont labelFont = font();
    labelFont.setPixelSize(16);

    // Pick-only lists: a typed number selects its item, so a list never shows a value other
    // than the one "Установить." stores.
    ComboBox1 = new QComboBox(this);
    ComboBox1->setGeometry(24, 16, 65, 21);
    Label1 = new QLabel(QStringLiteral("часов"), this);
    Label1->setFont(labelFont);
    Label1->move(96, 16);
    Label1->adjustSize();
    ComboBox2 = new QComboBox(this);
    ComboBox2->setGeometry(160, 16, 65, 21);
    Label2 = new QLabel(QStringLiteral("мин."), this);
    Label2->setFont(labelFont);
    Label2->move(232, 16);
    Label2->adjustSize();
    Button1 = new QPushButton(QStringLiteral("Установить."), this);
    Button1->setGeometry(96, 64, 89, 25);

    fitTexts(this);

    connect(Button1, &QPushButton::clicked, this, &TForm6::Button1Click);
}

void TForm6::Button1Click()
{
    // A list left blank (the device's own interval is beyond it) has nothing to send: the
    // device keeps its interval until the user picks one.
    if (ComboBox1->currentIndex() < 0 || ComboBox2->currentIndex() < 0) {
        Application_MessageBox(QStringLiteral("Выберите часы и минуты интервала."), QStringLiteral("Внимание!"),
                               MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    // Only the selected index counts.
    logState.LogIntervalHours.store(static_cast<std::uint8_t>(ComboBox1->currentIndex()));
    logState.LogIntervalMinutes.store(static_cast<std::uint8_t>(ComboBox2->currentIndex()));
    accept();
}

void TForm6::showInterval(std::uint8_t hours, std::uint8_t minutes)
{
    ComboBox1->setCurrentIndex(hours < ComboBox1->count() ? hours : -1);
    ComboBox2->setCurrentIndex(minutes < ComboBox2->count() ? minutes : -1);
}

void TForm6::fillLists()
{
    ComboBox1->clear();
    ComboBox2->clear();
    for (int m = 0; m <= 59; ++m)
        ComboBox2->addItem(QString::number(m));
    ComboBox2->setCurrentIndex(0);
    for (int h = 0; h <= 23; ++h)
        ComboBox1->addItem(QString::number(h));
    ComboBox1->setCurrentIndex(0);
}

} // namespace grafimo

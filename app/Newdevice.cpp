#include "Newdevice.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "text_fit.h"
#include <QShowEvent>

#include "Osnovnaya.h"
#include "grafimo/config_file.h"
#include "grafimo/text_codec.h"
#include "message_box.h"

namespace grafimo {

TForm2* Form2 = nullptr;

TForm2::TForm2(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Добавление окна прибора"));
    setFixedSize(336, 216);
    move(449, 227);

    QFont labelFont = font();
    labelFont.setPixelSize(16);

    Button1 = new QPushButton(QStringLiteral("Добавить"), this);
    Button1->setGeometry(80, 176, 75, 25);
    Label1 = new QLabel(QStringLiteral("Адрес прибора"), this);
    Label1->setGeometry(8, 8, 115, 20);
    Label1->setFont(labelFont);
    ComboBox1 = new QComboBox(this);
    ComboBox1->setEditable(true);
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    ComboBox1->setGeometry(200, 8, 81, 21);
    Label2 = new QLabel(QStringLiteral("Описание прибора"), this);
    Label2->setGeometry(8, 48, 141, 20);
    Label2->setFont(labelFont);
    Edit1 = new QLineEdit(this);
    Edit1->setGeometry(176, 48, 137, 21);
    Button2 = new QPushButton(QStringLiteral("Изменить"), this);
    Button2->setGeometry(184, 176, 73, 25);

    setTabOrder(Button1, ComboBox1);
    setTabOrder(ComboBox1, Edit1);
    setTabOrder(Edit1, Button2);

    fitTexts(this);

    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
    // Typed text counts as a pick too, so the buttons always match what the list shows.
    connect(ComboBox1, &QComboBox::currentTextChanged, this, &TForm2::ComboBox1Change);
}

void TForm2::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

std::optional<std::uint8_t> TForm2::chosenAddress() const
{
    bool ok = false;
    const int value = ComboBox1->currentText().trimmed().toInt(&ok, 10);
    if (!ok || value < 0 || value > HighestAddress)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

void TForm2::showChosenDevice(bool copyDescription)
{
    const std::optional<std::uint8_t> address = chosenAddress();
    const struct_device* device = (address && Form1) ? Form1->DeviceTable[*address].get() : nullptr;
    if (device) {
        Edit1->setText(QString::fromStdString(cp1251ToUtf8(device->description)));
        if (copyDescription)
            Form1->DialogDescription = device->description;
        Button1->setEnabled(false);
        Button2->setEnabled(true);
    } else {
        Edit1->setText(DescriptionPrompt);
        Button2->setEnabled(false);
        Button1->setEnabled(true);
    }
}

void TForm2::FormShow()
{
    showChosenDevice(true);
}

void TForm2::ComboBox1Change()
{
    showChosenDevice(false);
}

bool TForm2::takeInput()
{
    const std::optional<std::uint8_t> address = chosenAddress();
    if (!address) {
        Application_MessageBox(
            QStringLiteral("Адрес прибора должен быть целым числом от 0 до %1.").arg(HighestAddress),
            QStringLiteral("Ошибка!"), MB_OK | MB_ICONEXCLAMATION);
        ComboBox1->setFocus();
        return false;
    }
    QString text = Edit1->text();
    if (text == DescriptionPrompt)
        text.clear();
    const std::optional<std::string> bytes = utf8ToCp1251(text.toStdString());
    if (!bytes) {
        Application_MessageBox(
            QStringLiteral("Описание содержит знаки, которых нет в кодировке Windows-1251.\n"
                           "Используйте русские и латинские буквы, цифры и обычные знаки."),
            QStringLiteral("Ошибка!"), MB_OK | MB_ICONEXCLAMATION);
        Edit1->setFocus();
        return false;
    }
    if (bytes->size() > kMaxDescriptionLength) {
        Application_MessageBox(
            QStringLiteral("Описание слишком длинное: %1 знаков, допустимо не более %2.")
                .arg(bytes->size())
                .arg(kMaxDescriptionLength),
            QStringLiteral("Ошибка!"), MB_OK | MB_ICONEXCLAMATION);
        Edit1->setFocus();
        return false;
    }
    if (Form1) {
        Form1->DialogAddress = *address;
        Form1->DialogDescription = *bytes;
    }
    return true;
}

void TForm2::Button1Click()
{
    if (takeInput())
        done(ResultAdd);
}

void TForm2::Button2Click()
{
    if (takeInput())
        done(ResultChange);
}

} // namespace grafimo

#pragma once
// The device dialog: pick a bus address, enter a description, then add a device at a free
// address or change the description of an existing one. It only reads the device table and
// writes the main window's DialogAddress and DialogDescription; the main window acts on the
// result.

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace grafimo {

class TForm2 : public QDialog {
    Q_OBJECT
public:
    // exec() results: "Добавить" gives ResultAdd, "Изменить" ResultChange; the close box
    // or Escape give QDialog::Rejected (0), which changes nothing.
    static constexpr int ResultAdd = 6;
    static constexpr int ResultChange = 2;
    static constexpr int HighestAddress = 253;
    static inline const QString DescriptionPrompt = QStringLiteral("Введите описание");

    explicit TForm2(QWidget* parent = nullptr);

    QPushButton* Button1;
    QLabel* Label1;
    QComboBox* ComboBox1;
    QLabel* Label2;
    QLineEdit* Edit1;
    QPushButton* Button2;

    void FormShow();
    void ComboBox1Change();
    void Button1Click();
    void Button2Click();

    // The integer value of the address list's text when it is one of the offered
    // addresses 0..253; empty for anything else typed into it.
    std::optional<std::uint8_t> chosenAddress() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showChosenDevice(bool copyDescription);
    // Checks the address and the description and hands them to the main window; false
    // (after telling the user why) when either cannot be taken.
    bool takeInput();
};

extern TForm2* Form2;

} // namespace grafimo

#pragma once
// The interval dialog: the device log's interval in hours and minutes, picked from two
// lists whose item index equals its value. The lists cannot be typed into.

#include <QDialog>
#include <cstdint>

class QComboBox;
class QLabel;
class QPushButton;

namespace grafimo {

class TForm6 : public QDialog {
    Q_OBJECT
public:
    explicit TForm6(QWidget* parent = nullptr);

    QComboBox* ComboBox1; // hours 0..23
    QLabel* Label1;
    QComboBox* ComboBox2; // minutes 0..59
    QLabel* Label2;
    QPushButton* Button1;

    // "Установить.": stores the selected index of each list in the log state's interval,
    // one byte each; with a list left without a selection it stores nothing, asks for a
    // pick and stays open. Closing the dialog otherwise stores nothing.
    void Button1Click();
    // Selects the items of these values; a value beyond a list leaves it without selection.
    void showInterval(std::uint8_t hours, std::uint8_t minutes);
    // Empties both lists, fills minutes 0..59 and hours 0..23 and selects 0 in each.
    void fillLists();
};

extern TForm6* Form6;

} // namespace grafimo

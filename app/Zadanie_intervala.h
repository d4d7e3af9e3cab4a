#pragma once
// The interval dialog: the device log's interval in hours and minutes, picked from two
// lists whose item index equals its value.

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

    // Set by "Установить.": the selected index of each list, one byte each (a list
    // without a selection gives 255). Closing the dialog otherwise leaves them alone.
    std::uint8_t LogIntervalHours = 0;
    std::uint8_t LogIntervalMinutes = 0;

    void Button1Click();
    // Empties both lists, fills minutes 0..59 and hours 0..23 and selects 0 in each.
    void fillLists();
};

extern TForm6* Form6;

} // namespace grafimo

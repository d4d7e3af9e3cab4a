#pragma once
// The port dialog: the list of serial ports and the one button that opens the chosen
// port or closes the open one (the main window's togglePort does the work).

#include <QDialog>
#include <QString>
#include <QStringList>

class QComboBox;
class QPushButton;

namespace grafimo {

class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);

    QComboBox* ComboBox1;
    QPushButton* Button1;

    void Button1Click();
    // Escape (key code 27) closes the dialog; other keys do nothing.
    void FormKeyDown(int key);

    // Fills the list and selects the first item, then the item equal to `storedName`
    // (exact comparison). A stored gateway name is added to the list. An empty list leaves
    // an empty name.
    void fillPortList(const QStringList& ports, const QString& storedName);
    // The port to open: the selected item, or a path or gateway name typed into the list.
    QString portName() const;
    // A gateway name (tcp://HOST:PORT) that was just connected to joins the list, after
    // the serial ports and before older gateway names, and is selected; the last
    // MaxGatewayNames stay. The stored one comes back at the next start.
    void rememberPortName(const QString& name);
    static constexpr int MaxGatewayNames = 8;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void widenList();
};

extern TForm3* Form3;

} // namespace grafimo

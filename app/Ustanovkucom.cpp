#include "Ustanovkucom.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include "grafimo/port_name.h"
#include "port_list.h"
#include "text_fit.h"

#include "Osnovnaya.h"

namespace grafimo {

TForm3* Form3 = nullptr;

TForm3::TForm3(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Параметры порта"));
    setFixedSize(137, 121);

    ComboBox1 = new QComboBox(this);
    ComboBox1->setEditable(true);
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    ComboBox1->setGeometry(16, 24, 105, 21);
    ComboBox1->setEditText(QStringLiteral("ComboBox1"));
    Button1 = new QPushButton(QStringLiteral("Открыть порт"), this);
    Button1->setGeometry(16, 72, 105, 25);
    setTabOrder(ComboBox1, Button1);
    fitTexts(Button1, {QStringLiteral("Открыть порт"), QStringLiteral("Закрыть порт")});

    connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
    // The field is narrower than most names (gateways, stable adapter names): the whole
    // name is shown on hover, and the open list is as wide as its longest item.
    connect(ComboBox1, &QComboBox::currentTextChanged, ComboBox1, &QWidget::setToolTip);
}

void TForm3::widenList()
{
    int widest = 0;
    for (int i = 0; i < ComboBox1->count(); ++i)
        widest = std::max(widest, ComboBox1->view()->fontMetrics().horizontalAdvance(ComboBox1->itemText(i)));
    ComboBox1->view()->setMinimumWidth(widest + 2 * ComboBox1->view()->frameWidth() + 16);
}

void TForm3::Button1Click()
{
    if (Form1)
        Form1->togglePort();
}

void TForm3::FormKeyDown(int key)
{
    if (key == 27)
        close();
}

void TForm3::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        FormKeyDown(27);
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm3::fillPortList(const QStringList& systemPorts, const QString& storedName)
{
    // A stored gateway name is offered like a stored terminal, so the start opens it.
    QStringList ports = systemPorts;
    if (isTcpPortName(storedName.toStdString()) && parseTcpPortName(storedName.toStdString()).ok()
        && !ports.contains(storedName))
        ports << storedName;
    ComboBox1->clear();
    // A stable by-id name shows the kernel name it leads to; the item keeps the path.
    for (const QString& port : ports)
        ComboBox1->addItem(portLabel(port), port);
    ComboBox1->setCurrentIndex(ports.isEmpty() ? -1 : 0);
    const int stored = ports.lastIndexOf(storedName);
    if (stored >= 0)
        ComboBox1->setCurrentIndex(stored);
    if (ports.isEmpty())
        ComboBox1->setEditText(QString());
    widenList();
}

void TForm3::rememberPortName(const QString& name)
{
    const int existing = ComboBox1->findData(name);
    if (existing >= 0)
        ComboBox1->removeItem(existing);
    int first = ComboBox1->count();
    for (int i = 0; i < ComboBox1->count(); ++i) {
        if (isTcpPortName(ComboBox1->itemData(i).toString().toStdString())) {
            first = i;
            break;
        }
    }
    ComboBox1->insertItem(first, name, name);
    ComboBox1->setCurrentIndex(first);
    int kept = 0;
    for (int i = first; i < ComboBox1->count();) {
        if (isTcpPortName(ComboBox1->itemData(i).toString().toStdString()) && ++kept > MaxGatewayNames) {
            ComboBox1->removeItem(i);
            continue;
        }
        ++i;
    }
    widenList();
}

QString TForm3::portName() const
{
    // A listed item stands for its path; anything else was typed and is used as typed.
    const int index = ComboBox1->currentIndex();
    if (index >= 0 && ComboBox1->itemText(index) == ComboBox1->currentText())
        return ComboBox1->itemData(index).toString();
    return ComboBox1->currentText();
}

} // namespace grafimo

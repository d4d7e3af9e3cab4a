// The device dialog: what it shows for the chosen address, which button it offers, what it
// hands back, and what it refuses.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <memory>

#include "Newdevice.h"
#include "Osnovnaya.h"
#include "app_test_support.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

// "Насос" in Windows-1251.
const QByteArray kPumpCp1251("\xCD\xE0\xF1\xEE\xF1");
const QString kPump = QStringLiteral("Насос");
const QString kPrompt = QStringLiteral("Введите описание");

} // namespace

class DeviceDialogTest : public WindowTest {
    Q_OBJECT

private slots:
    void init()
    {
        initWindowTest();
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(3, kPumpCp1251));
        createForms();
        Form1->show();
        QCOMPARE(Form1->PageControl1->count(), 1);
    }
    void cleanup() { cleanupWindowTest(); }

    void theActiveDeviceIsPreselectedWithItsDescription()
    {
        bool checked = false;
        whenShown(Form2, [&] {
            QCOMPARE(Form2->ComboBox1->count(), 254);
            QCOMPARE(Form2->ComboBox1->itemText(0), QStringLiteral("0"));
            QCOMPARE(Form2->ComboBox1->itemText(253), QStringLiteral("253"));
            QCOMPARE(Form2->ComboBox1->currentText(), QStringLiteral("3"));
            QCOMPARE(Form2->Edit1->text(), kPump);
            QVERIFY(!Form2->Button1->isEnabled());
            QVERIFY(Form2->Button2->isEnabled());
            QCOMPARE(QByteArray::fromStdString(Form1->DialogDescription), kPumpCp1251);
            checked = true;
            Form2->close();
        });
        Form1->N4Click();
        QVERIFY(checked);
    }

    void withoutTabsAddressZeroIsPreselectedAndOnlyAddIsOffered()
    {
        Form1->DeleteDevice(3);
        QCOMPARE(Form1->PageControl1->count(), 0);
        bool checked = false;
        whenShown(Form2, [&] {
            QCOMPARE(Form2->ComboBox1->currentText(), QStringLiteral("0"));
            QCOMPARE(Form2->Edit1->text(), kPrompt);
            QVERIFY(Form2->Button1->isEnabled());
            QVERIFY(!Form2->Button2->isEnabled());
            QVERIFY(Form1->DialogDescription.empty());
            checked = true;
            Form2->close();
        });
        Form1->N4Click();
        QVERIFY(checked);
    }

    void pickingAnotherAddressSwitchesTheButtonsButNotTheResult()
    {
        bool checked = false;
        whenShown(Form2, [&] {
            Form2->ComboBox1->setCurrentIndex(4);
            QCOMPARE(Form2->Edit1->text(), kPrompt);
            QVERIFY(Form2->Button1->isEnabled());
            QVERIFY(!Form2->Button2->isEnabled());
            Form2->ComboBox1->setCurrentIndex(3);
            QCOMPARE(Form2->Edit1->text(), kPump);
            QVERIFY(!Form2->Button1->isEnabled());
            QVERIFY(Form2->Button2->isEnabled());
            // Typed text counts as a pick too.
            Form2->ComboBox1->setEditText(QStringLiteral("12"));
            QVERIFY(Form2->Button1->isEnabled());
            QVERIFY(!Form2->Button2->isEnabled());
            // Only the showing copies the description into the result.
            QCOMPARE(QByteArray::fromStdString(Form1->DialogDescription), kPumpCp1251);
            checked = true;
            Form2->close();
        });
        Form1->N4Click();
        QVERIFY(checked);
    }

    void theButtonsAndTheCloseBoxGiveTheirResults()
    {
        Form2->ComboBox1->clear();
        for (int a = 0; a <= 253; ++a)
            Form2->ComboBox1->addItem(QString::number(a));

        Form2->ComboBox1->setCurrentIndex(9);
        whenShown(Form2, [] { Form2->Button1->click(); });
        QCOMPARE(Form2->exec(), 6);
        QCOMPARE(Form1->DialogAddress, std::uint8_t{9});
        QVERIFY(Form1->DialogDescription.empty());

        Form2->ComboBox1->setCurrentIndex(3);
        whenShown(Form2, [] {
            Form2->Edit1->setText(QStringLiteral("Котёл"));
            Form2->Button2->click();
        });
        QCOMPARE(Form2->exec(), 2);
        QCOMPARE(Form1->DialogAddress, std::uint8_t{3});
        QCOMPARE(QByteArray::fromStdString(Form1->DialogDescription), QByteArray("\xCA\xEE\xF2\xB8\xEB"));

        whenShown(Form2, [] { Form2->close(); });
        QCOMPARE(Form2->exec(), int(QDialog::Rejected));
        whenShown(Form2, [] { QTest::keyClick(Form2, Qt::Key_Escape); });
        QCOMPARE(Form2->exec(), int(QDialog::Rejected));
    }

    void addingWithThePromptGivesAnEmptyDescription()
    {
        whenShown(Form2, [] {
            Form2->ComboBox1->setCurrentIndex(7);
            Form2->Button1->click();
        });
        Form1->N4Click();
        QVERIFY(Form1->DeviceTable[7]);
        QVERIFY(Form1->DeviceTable[7]->description.empty());
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")),
                 configHeader("NULL") + deviceRecord(3, kPumpCp1251) + deviceRecord(7, ""));
    }

    void typingThePromptAsNewDescriptionStoresAnEmptyOne()
    {
        whenShown(Form2, [] {
            Form2->Edit1->setText(kPrompt);
            Form2->Button2->click();
        });
        Form1->N4Click();
        QVERIFY(Form1->DeviceTable[3]);
        QVERIFY(Form1->DeviceTable[3]->description.empty());
        QCOMPARE(Form1->panelText(0), QString());
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + deviceRecord(3, ""));
    }

    void closingTheDialogChangesNothing()
    {
        // A device at address 0 would be the one a careless close changed.
        whenShown(Form2, [] {
            Form2->ComboBox1->setCurrentIndex(0);
            Form2->Button1->click();
        });
        Form1->N4Click();
        const QByteArray before = readFile(QStringLiteral("grafimo.cfg"));
        QCOMPARE(before, configHeader("NULL") + deviceRecord(3, kPumpCp1251) + deviceRecord(0, ""));

        whenShown(Form2, [] {
            Form2->ComboBox1->setCurrentIndex(3);
            Form2->Edit1->setText(QStringLiteral("Другое"));
            Form2->close();
        });
        Form1->N4Click();
        whenShown(Form2, [] {
            Form2->ComboBox1->setCurrentIndex(5);
            QTest::keyClick(Form2, Qt::Key_Escape);
        });
        Form1->N4Click();

        QCOMPARE(QByteArray::fromStdString(Form1->DeviceTable[3]->description), kPumpCp1251);
        QVERIFY(Form1->DeviceTable[0]->description.empty());
        QVERIFY(!Form1->DeviceTable[5]);
        QCOMPARE(Form1->PageControl1->count(), 2);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), before);
    }

    void anAddressOutsideTheListIsRefused_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("254") << QStringLiteral("254");
        QTest::newRow("255") << QStringLiteral("255");
        QTest::newRow("negative") << QStringLiteral("-1");
        QTest::newRow("word") << QStringLiteral("abc");
        QTest::newRow("empty") << QString();
        QTest::newRow("fraction") << QStringLiteral("3.5");
        QTest::newRow("hex") << QStringLiteral("0x10");
    }
    void anAddressOutsideTheListIsRefused()
    {
        QFETCH(QString, typed);
        const QByteArray before = readFile(QStringLiteral("grafimo.cfg"));
        bool stayedOpen = false;
        whenShown(Form2, [&] {
            Form2->ComboBox1->setEditText(typed);
            Form2->Edit1->setText(QStringLiteral("x"));
            Form2->Button1->click();
            stayedOpen = Form2->isVisible();
            Form2->close();
        });
        Form1->N4Click();
        QVERIFY(stayedOpen);
        QCOMPARE(boxes_->count(QStringLiteral("Адрес прибора должен быть целым числом от 0 до 253."),
                               QStringLiteral("Ошибка!")),
                 1);
        QCOMPARE(Form1->PageControl1->count(), 1);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), before);
    }

    void aDescriptionThatCannotBeStoredIsRefusedNotCut()
    {
        const QByteArray before = readFile(QStringLiteral("grafimo.cfg"));
        int refusals = 0;
        whenShown(Form2, [&] {
            Form2->ComboBox1->setCurrentIndex(8);
            Form2->Edit1->setText(QStringLiteral("Датчик ℃ 温度"));
            Form2->Button1->click();
            refusals += Form2->isVisible() ? 1 : 0;
            Form2->Edit1->setText(QString(256, QLatin1Char('a')));
            Form2->Button1->click();
            refusals += Form2->isVisible() ? 1 : 0;
            Form2->close();
        });
        Form1->N4Click();
        QCOMPARE(refusals, 2);
        QVERIFY(boxes_->anyContaining(QStringLiteral("Windows-1251")));
        QVERIFY(boxes_->anyContaining(QStringLiteral("256")));
        QVERIFY(!Form1->DeviceTable[8]);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), before);

        // 255 bytes fit the length byte.
        whenShown(Form2, [] {
            Form2->ComboBox1->setCurrentIndex(8);
            Form2->Edit1->setText(QString(255, QChar(0x044F))); // 'я', one byte each
            Form2->Button1->click();
        });
        Form1->N4Click();
        QVERIFY(Form1->DeviceTable[8]);
        QCOMPARE(Form1->DeviceTable[8]->description, std::string(255, '\xFF'));
    }
};

QTEST_MAIN(DeviceDialogTest)
#include "device_dialog_test.moc"

// The message box: Win32 flags in, button codes out, whether the user presses a button or
// closes the box; a script can stand in for the user.

#include <QAbstractButton>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <functional>

#include "message_box.h"

using namespace grafimo;

namespace {

// Acts on the box once it is up (it is modal, so this runs from inside its loop).
void withBox(std::function<void(QMessageBox*)> action)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, action = std::move(action)] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action(box);
    });
    timer->start();
}

QAbstractButton* buttonOf(QMessageBox* box, QMessageBox::StandardButton which)
{
    return box->button(which);
}

} // namespace

class MessageBoxTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(translator_.load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                                 QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)));
        QApplication::installTranslator(&translator_);
    }

    void pressedButtonsGiveTheirCodes_data()
    {
        QTest::addColumn<unsigned>("flags");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("expected");
        QTest::newRow("ok") << MB_OK << int(QMessageBox::Ok) << IDOK;
        QTest::newRow("okcancel ok") << MB_OKCANCEL << int(QMessageBox::Ok) << IDOK;
        QTest::newRow("okcancel cancel") << MB_OKCANCEL << int(QMessageBox::Cancel) << IDCANCEL;
        QTest::newRow("yes") << (MB_YESNO | MB_ICONQUESTION) << int(QMessageBox::Yes) << IDYES;
        QTest::newRow("no") << (MB_YESNO | MB_ICONQUESTION) << int(QMessageBox::No) << IDNO;
        QTest::newRow("yesnocancel yes") << MB_YESNOCANCEL << int(QMessageBox::Yes) << IDYES;
        QTest::newRow("yesnocancel no") << MB_YESNOCANCEL << int(QMessageBox::No) << IDNO;
        QTest::newRow("yesnocancel cancel") << MB_YESNOCANCEL << int(QMessageBox::Cancel) << IDCANCEL;
    }
    void pressedButtonsGiveTheirCodes()
    {
        QFETCH(unsigned, flags);
        QFETCH(int, press);
        QFETCH(int, expected);
        bool pressed = false;
        withBox([&](QMessageBox* box) {
            QAbstractButton* b = buttonOf(box, QMessageBox::StandardButton(press));
            QVERIFY(b);
            pressed = true;
            b->click();
        });
        QCOMPARE(Application_MessageBox(QStringLiteral("текст"), QStringLiteral("Заголовок"), flags), expected);
        QVERIFY(pressed);
    }

    void closingWithoutAButtonCountsAsTheSafeAnswer_data()
    {
        QTest::addColumn<unsigned>("flags");
        QTest::addColumn<int>("expected");
        QTest::newRow("yes/no is no") << MB_YESNO << IDNO;
        QTest::newRow("ok/cancel is cancel") << MB_OKCANCEL << IDCANCEL;
        QTest::newRow("yes/no/cancel is cancel") << MB_YESNOCANCEL << IDCANCEL;
        QTest::newRow("ok is ok") << MB_OK << IDOK;
    }
    void closingWithoutAButtonCountsAsTheSafeAnswer()
    {
        QFETCH(unsigned, flags);
        QFETCH(int, expected);
        withBox([](QMessageBox* box) { box->close(); });
        QCOMPARE(Application_MessageBox(QStringLiteral("x"), QStringLiteral("y"), flags), expected);

        withBox([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
        QCOMPARE(Application_MessageBox(QStringLiteral("x"), QStringLiteral("y"), flags), expected);
    }

    void returnTakesYes()
    {
        for (const unsigned flags : {MB_YESNO, MB_YESNOCANCEL}) {
            withBox([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
            QCOMPARE(Application_MessageBox(QStringLiteral("x"), QStringLiteral("y"), flags), IDYES);
        }
    }

    void showsTextCaptionIconAndRussianButtons()
    {
        QString text;
        QString caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons;
        withBox([&](QMessageBox* box) {
            text = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            for (QAbstractButton* b : box->buttons())
                buttons << b->text().remove(QLatin1Char('&'));
            box->button(QMessageBox::No)->click();
        });
        const QString message = QStringLiteral("Прибор 'a'\n\n с адресом 3 не отвечает!\n\n УДАЛИТЬ?");
        Application_MessageBox(message, QStringLiteral("Предупреждение"), MB_YESNO | MB_ICONQUESTION);
        QCOMPARE(text, message);
        QCOMPARE(caption, QStringLiteral("Предупреждение"));
        QCOMPARE(icon, QMessageBox::Question);
        QVERIFY2(buttons.contains(QStringLiteral("Да")) && buttons.contains(QStringLiteral("Нет")),
                 qPrintable(buttons.join(QLatin1Char(','))));
    }

    void iconFollowsTheFlags_data()
    {
        QTest::addColumn<unsigned>("flags");
        QTest::addColumn<int>("icon");
        QTest::newRow("none") << MB_OK << int(QMessageBox::NoIcon);
        QTest::newRow("stop") << (MB_OK | MB_ICONSTOP) << int(QMessageBox::Critical);
        QTest::newRow("question") << (MB_OK | MB_ICONQUESTION) << int(QMessageBox::Question);
        QTest::newRow("exclamation") << (MB_OK | MB_ICONEXCLAMATION) << int(QMessageBox::Warning);
        QTest::newRow("information") << (MB_OK | MB_ICONINFORMATION) << int(QMessageBox::Information);
    }
    void iconFollowsTheFlags()
    {
        QFETCH(unsigned, flags);
        QFETCH(int, icon);
        int seen = -1;
        withBox([&](QMessageBox* box) {
            seen = box->icon();
            box->close();
        });
        Application_MessageBox(QStringLiteral("x"), QStringLiteral("y"), flags);
        QCOMPARE(seen, icon);
    }

    void aScriptAnswersInsteadOfTheUserAndSeesEveryCall()
    {
        QStringList seen;
        setMessageBoxScript([&](const QString& text, const QString& caption, unsigned flags) {
            seen << text + QLatin1Char('|') + caption + QLatin1Char('|') + QString::number(flags);
            return IDYES;
        });
        QCOMPARE(Application_MessageBox(QStringLiteral("a"), QStringLiteral("b"), MB_YESNO), IDYES);
        QCOMPARE(Application_MessageBox(QStringLiteral("c"), QStringLiteral("d"), MB_OK | MB_ICONSTOP), IDYES);
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        setMessageBoxScript({});
        QCOMPARE(seen, QStringList({QStringLiteral("a|b|4"), QStringLiteral("c|d|16")}));

        // Without the script the real box is back.
        bool shown = false;
        withBox([&](QMessageBox* box) {
            shown = true;
            box->close();
        });
        Application_MessageBox(QStringLiteral("e"), QStringLiteral("f"), MB_OK);
        QVERIFY(shown);
    }

private:
    QTranslator translator_;
};

QTEST_MAIN(MessageBoxTest)
#include "message_box_test.moc"

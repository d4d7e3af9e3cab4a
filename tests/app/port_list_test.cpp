// The port list: the system's ports sorted by path, and a terminal the user named before
// (a pseudo-terminal or a link to one) added when the system's list lacks it.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "port_list.h"
#include "pty_pair.h"

using namespace grafimo;

class PortListTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        setSerialPortSource({});
        setStablePortFolder({});
    }

    // Stable names of USB adapters are offered beside the kernel names when they lead to
    // one of the system's ports, and are shown with the kernel name they point to.
    void stableNamesOfAdaptersAreOfferedWithTheirKernelName()
    {
        testing::PtyPair adapter;
        testing::PtyPair other;
        QVERIFY(adapter.ok() && other.ok());
        const QString kernel = QString::fromStdString(adapter.slavePath());
        QTemporaryDir byId;
        const QString stable = byId.filePath(QStringLiteral("usb-FTDI_FT232R_A10K1234-if00-port0"));
        const QString unlisted = byId.filePath(QStringLiteral("usb-Other_0001-if00"));
        const QString dangling = byId.filePath(QStringLiteral("usb-Gone_0002-if00"));
        QVERIFY(QFile::link(kernel, stable));
        QVERIFY(QFile::link(QString::fromStdString(other.slavePath()), unlisted));
        QVERIFY(QFile::link(byId.filePath(QStringLiteral("nothing")), dangling));
        setStablePortFolder(byId.path());
        setSerialPortSource([kernel] { return QStringList{kernel, QStringLiteral("/dev/ttyS7")}; });

        QStringList expected{kernel, stable, QStringLiteral("/dev/ttyS7")};
        expected.sort();
        QCOMPARE(systemSerialPorts(), expected);
        QCOMPARE(portList(QString()), expected);

        const QString shortName = kernel.mid(QStringLiteral("/dev/").size());
        struct Row {
            QString path;
            QString kernelName;
            QString label;
        };
        const QList<Row> rows = {
            {stable, shortName, stable + QStringLiteral(" (") + shortName + QLatin1Char(')')},
            {kernel, QString(), kernel},
            {unlisted, QString(), unlisted},
            {dangling, QString(), dangling},
            {QStringLiteral("/dev/ttyS7"), QString(), QStringLiteral("/dev/ttyS7")},
        };
        for (const Row& row : rows) {
            QCOMPARE(portKernelName(row.path), row.kernelName);
            QCOMPARE(portLabel(row.path), row.label);
        }
        // A stable name stored before is a terminal and is not offered twice.
        QVERIFY(isTerminalDevice(stable));
        QCOMPARE(portList(stable), expected);
    }

    void systemPortsAreSortedWithoutDuplicates()
    {
        setSerialPortSource([] {
            return QStringList{QStringLiteral("/dev/ttyUSB1"), QStringLiteral("/dev/ttyS0"),
                               QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyS0")};
        });
        QCOMPARE(systemSerialPorts(), QStringList({QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyUSB0"),
                                                   QStringLiteral("/dev/ttyUSB1")}));
    }

    void aStoredPseudoTerminalAndALinkToItAreOffered()
    {
        testing::PtyPair pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("bus"));
        QVERIFY(QFile::link(QString::fromStdString(pty.slavePath()), link));
        setSerialPortSource([] { return QStringList{QStringLiteral("/dev/ttyS9")}; });

        QVERIFY(isTerminalDevice(QString::fromStdString(pty.slavePath())));
        QVERIFY(isTerminalDevice(link));
        QCOMPARE(portList(link), QStringList({QStringLiteral("/dev/ttyS9"), link}));
        QCOMPARE(portList(QString::fromStdString(pty.slavePath())),
                 QStringList({QStringLiteral("/dev/ttyS9"), QString::fromStdString(pty.slavePath())}));
    }

    void aStoredNameAlreadyListedIsNotRepeated()
    {
        testing::PtyPair pty;
        QVERIFY(pty.ok());
        const QString path = QString::fromStdString(pty.slavePath());
        setSerialPortSource([path] { return QStringList{path}; });
        QCOMPARE(portList(path), QStringList({path}));
    }

    void namesThatAreNoTerminalAreNotOffered()
    {
        QTemporaryDir dir;
        const QString plain = dir.filePath(QStringLiteral("file"));
        QFile f(plain);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        const QString dangling = dir.filePath(QStringLiteral("gone"));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("nothing")), dangling));
        setSerialPortSource([] { return QStringList{}; });

        for (const QString& name : {plain, dangling, dir.path(), QStringLiteral("/dev/null"),
                                    QStringLiteral("/dev/zero"), QStringLiteral("NULL"), QString(),
                                    QStringLiteral("/dev/does-not-exist")}) {
            QVERIFY2(!isTerminalDevice(name), qPrintable(name));
            QCOMPARE(portList(name), QStringList());
        }
    }

    void aRelativeLinkInTheWorkingDirectoryCounts()
    {
        testing::PtyPair pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QVERIFY(QFile::link(QString::fromStdString(pty.slavePath()), QStringLiteral("ttyX")));
        setSerialPortSource([] { return QStringList{}; });
        const bool terminal = isTerminalDevice(QStringLiteral("ttyX"));
        const QStringList list = portList(QStringLiteral("ttyX"));
        QDir::setCurrent(previous);
        QVERIFY(terminal);
        QCOMPARE(list, QStringList({QStringLiteral("ttyX")}));
    }

    void theRealSystemListIsSortedDevicePaths()
    {
        const QStringList ports = systemSerialPorts();
        QStringList sorted = ports;
        sorted.sort();
        QCOMPARE(ports, sorted);
        for (const QString& p : ports)
            QVERIFY2(p.startsWith(QLatin1Char('/')), qPrintable(p));
    }
};

QTEST_MAIN(PortListTest)
#include "port_list_test.moc"

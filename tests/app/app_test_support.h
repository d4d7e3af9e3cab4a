#pragma once
// What the window tests share: a private working directory per test, a scripted message
// box that records what it was asked, grafimo.cfg written and read byte for byte, a
// simulated bus on a pseudo-terminal, a way to act inside a modal dialog, and the frame
// of every window test.

#include <QApplication>
#include <QByteArray>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Qt's "emit" keyword macro would eat a member of that name in the simulator's header.
#pragma push_macro("emit")
#undef emit
#include "grafimo/sim/server.h"
#include "grafimo_test/sim_bus.h"
#pragma pop_macro("emit")
#include "Osnovnaya.h"
#include "message_box.h"
#include "port_list.h"

namespace grafimo::testing {

struct BoxCall {
    QString text;
    QString caption;
    unsigned flags;
};

// Replaces the message box while alive. Every call is recorded; `answer` decides the
// result (by default the first button: OK, or Yes).
class ScriptedBoxes {
public:
    ScriptedBoxes()
    {
        setMessageBoxScript([this](const QString& text, const QString& caption, unsigned flags) {
            calls.push_back({text, caption, flags});
            if (answer)
                return answer(text, caption, flags);
            return (flags & 0x0Fu) == MB_YESNO ? IDYES : IDOK;
        });
    }
    ~ScriptedBoxes() { setMessageBoxScript({}); }
    ScriptedBoxes(const ScriptedBoxes&) = delete;
    ScriptedBoxes& operator=(const ScriptedBoxes&) = delete;

    int count(const QString& text, const QString& caption) const
    {
        int n = 0;
        for (const BoxCall& c : calls)
            n += (c.text == text && c.caption == caption) ? 1 : 0;
        return n;
    }
    bool anyContaining(const QString& part) const
    {
        for (const BoxCall& c : calls) {
            if (c.text.contains(part))
                return true;
        }
        return false;
    }

    std::vector<BoxCall> calls;
    std::function<int(const QString&, const QString&, unsigned)> answer;
};

// A fresh working directory (and a private state directory for the history files) for
// one test; the previous working directory comes back afterwards.
class WorkDir {
public:
    WorkDir() : previous_(QDir::currentPath())
    {
        runtime_ = std::make_unique<QTemporaryDir>();
        work_ = std::make_unique<QTemporaryDir>();
        QFile::setPermissions(runtime_->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        previousRuntime_ = qgetenv("XDG_RUNTIME_DIR");
        previousState_ = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", QFile::encodeName(runtime_->path()));
        QDir::setCurrent(work_->path());
    }
    ~WorkDir()
    {
        QDir::setCurrent(previous_);
        qputenv("XDG_RUNTIME_DIR", previousRuntime_);
        qputenv("XDG_STATE_HOME", previousState_);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    QString path() const { return work_->path(); }
    QString runtimePath() const { return runtime_->path(); }
    QString file(const QString& name) const { return work_->filePath(name); }

private:
    QString previous_;
    QByteArray previousRuntime_;
    QByteArray previousState_;
    std::unique_ptr<QTemporaryDir> runtime_;
    std::unique_ptr<QTemporaryDir> work_;
};

// grafimo.cfg as the program writes it: header = length byte + name, zero-filled to 100
// bytes; then address, length, description per device, every 0x0A stored as 0x0D 0x0A.
inline QByteArray configHeader(const QByteArray& portName)
{
    QByteArray header(100, '\0');
    header[0] = static_cast<char>(portName.size());
    header.replace(1, portName.size(), portName);
    return header.left(100);
}

inline QByteArray deviceRecord(std::uint8_t address, const QByteArray& description)
{
    QByteArray raw;
    raw.append(static_cast<char>(address));
    raw.append(static_cast<char>(description.size()));
    raw.append(description);
    QByteArray stored;
    for (char c : raw) {
        if (c == '\n')
            stored.append('\r');
        stored.append(c);
    }
    return stored;
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Simulated devices on a pseudo-terminal reached through a link at `linkPath`, or behind a
// serial device server on loopback TCP; the port list offers exactly the given ports while
// alive.
class SimBus {
public:
    // `pace`: bytes go out at a 9600-baud wire's pace, as grafimo-sim --pace sends them.
    SimBus(const QString& linkPath, std::vector<std::uint8_t> addresses, bool pace = false)
    {
        sim::ServerConfig config = test::simDevices(addresses);
        config.pace = pace;
        config.linkPath = QFile::encodeName(linkPath).toStdString();
        server = std::make_unique<sim::PtyServer>(std::move(config));
        server->start();
        link = linkPath;
    }
    // Behind a gateway: `link` is then the port name to type, tcp://127.0.0.1:PORT.
    struct Gateway {};
    SimBus(Gateway, std::vector<std::uint8_t> addresses)
    {
        sim::ServerConfig config = test::simDevices(addresses);
        config.tcpListen = "127.0.0.1:0";
        server = std::make_unique<sim::PtyServer>(std::move(config));
        server->start();
        link = QString::fromStdString(server->ttyPath());
    }
    ~SimBus()
    {
        setSerialPortSource({});
        server->stop();
    }
    SimBus(const SimBus&) = delete;
    SimBus& operator=(const SimBus&) = delete;

    std::uint64_t requests(std::uint8_t address) const { return server->stats().requests[address]; }
    std::uint64_t answers(std::uint8_t address) const { return server->stats().answers[address]; }

    std::unique_ptr<sim::PtyServer> server;
    QString link;
};

inline void offerPorts(QStringList ports)
{
    setSerialPortSource([ports] { return ports; });
}

// Runs `action` once `dialog` is shown (from inside its modal loop). `trigger` is what
// shows it (e.g. the menu handler); returns what the dialog's exec() returned via the
// handler's own effect. A failed check returns from `action` early, leaving the dialog
// open: it is closed then, so the test ends at once with its failure instead of waiting
// in the modal loop for the time-out.
inline void whenShown(QDialog* dialog, std::function<void()> action)
{
    auto* timer = new QTimer(dialog);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, dialog, [dialog, timer, action = std::move(action)] {
        if (!dialog->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action();
        if (QTest::currentTestFailed() && dialog->isVisible()) {
            dialog->close();
            if (dialog->isVisible())
                static_cast<QDialog*>(dialog)->reject();
        }
    });
    timer->start();
}

// Answers the next showing of a folder dialog with `folder` (typed, as a user does), or
// cancels it when `folder` is empty.
inline void chooseFolderWhenShown(QFileDialog* dialog, const QString& folder)
{
    whenShown(dialog, [dialog, folder] {
        if (folder.isEmpty()) {
            static_cast<QDialog*>(dialog)->reject();
            return;
        }
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(folder);
        static_cast<QDialog*>(dialog)->accept();
    });
}
// The frame of a window test: a fresh working directory and scripted box per test function;
// afterwards the forms go first, then the bus they used, the boxes and the directory.
class WindowTest : public QObject {
protected:
    void initWindowTest()
    {
        work_ = std::make_unique<WorkDir>();
        boxes_ = std::make_unique<ScriptedBoxes>();
    }
    void cleanupWindowTest()
    {
        destroyForms();
        bus_.reset();
        boxes_.reset();
        work_.reset();
    }
    // Devices at the offered port "ttyA", and grafimo.cfg naming it with `records`.
    void prepareBusWith(std::vector<std::uint8_t> addresses, const QByteArray& records, bool pace = false)
    {
        bus_ = std::make_unique<SimBus>(QStringLiteral("ttyA"), std::move(addresses), pace);
        offerPorts({QStringLiteral("ttyA")});
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("ttyA") + records);
    }
    void prepareBus(std::uint8_t address, const QByteArray& description, bool pace = false)
    {
        prepareBusWith({address}, deviceRecord(address, description), pace);
    }

    std::unique_ptr<WorkDir> work_;
    std::unique_ptr<ScriptedBoxes> boxes_;
    std::unique_ptr<SimBus> bus_;
};

} // namespace grafimo::testing

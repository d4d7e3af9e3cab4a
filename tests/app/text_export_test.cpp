// "Сохранить" of the main window and of the device log window, through their save dialogs:
// the suggested names, every exported line against the history file or the device's records
// read back independently, and the failures that must never look like success.

#include <QAction>
#include <QDate>
#include <QDateTime>
#include <QFileDialog>
#include <QTabWidget>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTimeZone>
#include <QTimer>

#include <bit>
#include <cstdint>
#include <memory>

#include "Osnovnaya.h"
#include "Priemprotokol.h"
#include "TrendCharts.h"
#include "export_progress.h"
#include "regional_formats.h"
#include "app_test_support.h"
#include "grafimo_test/fake_file_calls.h"
#include "grafimo_test/log_time.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr int kWait = 20000;
constexpr std::uint8_t kAddress = 5;

struct Record {
    float value1;
    float value2;
    double time;
};

// The 16-byte little-endian records of a history file, read here without the program's reader.
std::vector<Record> historyRecords(const QString& path)
{
    const QByteArray bytes = readFile(path);
    const auto le = [&](qsizetype at, int size) {
        std::uint64_t v = 0;
        for (int i = size - 1; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
        return v;
    };
    std::vector<Record> out;
    for (qsizetype at = 0; at + 16 <= bytes.size(); at += 16) {
        out.push_back({std::bit_cast<float>(static_cast<std::uint32_t>(le(at, 4))),
                       std::bit_cast<float>(static_cast<std::uint32_t>(le(at + 4, 4))),
                       std::bit_cast<double>(le(at + 8, 8))});
    }
    return out;
}

// The test runs in the C locale, where the exports follow Russian conventions.
QString dateTimeText(double t)
{
    const qint64 msecs = qRound64((t - 25569.0) * 86400000.0);
    const QDateTime utcWall = QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
    const QDateTime local(utcWall.date(), utcWall.time());
    if (local.time() == QTime(0, 0))
        return local.toString(QStringLiteral("dd.MM.yyyy"));
    return local.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

// A line holds value 1 (6 significant digits), value 2 (3), the date-time text, CR LF.
QString lineCheck(const QString& line, const Record& r)
{
    const QStringList f = line.split(QLatin1Char(' '));
    if (f.size() < 3)
        return QStringLiteral("too few fields: ") + line;
    const double v1 = QString(f[0]).replace(QLatin1Char(','), QLatin1Char('.')).toDouble();
    const double v2 = QString(f[1]).replace(QLatin1Char(','), QLatin1Char('.')).toDouble();
    if (std::fabs(v1 - r.value1) > 5e-6 * std::max(1.0, std::fabs(double(r.value1))))
        return QStringLiteral("value 1 %1 for %2").arg(f[0]).arg(r.value1);
    if (std::fabs(v2 - r.value2) > 5e-3 * std::max(1.0, std::fabs(double(r.value2))))
        return QStringLiteral("value 2 %1 for %2").arg(f[1]).arg(r.value2);
    if (f.mid(2).join(QLatin1Char(' ')) != dateTimeText(r.time))
        return QStringLiteral("time '%1' for '%2'").arg(f.mid(2).join(QLatin1Char(' ')), dateTimeText(r.time));
    return {};
}

QStringList crlfLines(const QByteArray& text, QString* problem)
{
    if (!text.isEmpty() && !text.endsWith("\r\n"))
        *problem = QStringLiteral("no CR LF at the end");
    QStringList lines = QString::fromUtf8(text).split(QStringLiteral("\r\n"));
    lines.removeLast();
    for (const QString& l : lines) {
        if (l.contains(QLatin1Char('\n')) || l.contains(QLatin1Char('\r')))
            *problem = QStringLiteral("a bare line end");
    }
    return lines;
}

} // namespace

class TextExportTest : public WindowTest {
    Q_OBJECT

private slots:
    void init() { initWindowTest(); }
    void cleanup() { cleanupWindowTest(); }

    void historyOfTheActiveTabIsSavedLineByLine()
    {
        start("dev/5");
        QVERIFY(bus_->server->waitForAnswers(kAddress, 6, std::chrono::milliseconds(kWait)));
        QVERIFY(QTest::qWaitFor([] { return historyRecords(historyPath()).size() >= 5; }, kWait));
        const QString out = work_->file(QStringLiteral("history.txt"));
        writeFile(out, "old content");
        const QString suggested = saveAs(*Form1->SaveDialog1(), out, [] { Form1->N7Click(); });
        // "/" of the description never makes the name a path.
        QVERIFY2(QRegularExpression(QStringLiteral("^dev_5 \\d\\d_\\d\\d_\\d{4} \\d\\d_\\d\\d\\.txt$"))
                     .match(suggested)
                     .hasMatch(),
                 qPrintable(suggested));
        QVERIFY(boxes_->calls.empty());
        QString problem;
        const QStringList lines = crlfLines(readFile(out), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        const std::vector<Record> stored = historyRecords(historyPath());
        QVERIFY(lines.size() >= 5);
        QVERIFY(static_cast<std::size_t>(lines.size()) <= stored.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QString bad = lineCheck(lines[i], stored[i]);
            QVERIFY2(bad.isEmpty(), qPrintable(QStringLiteral("line %1: %2").arg(i).arg(bad)));
        }
        // Polling goes on.
        QVERIFY(!Form1->pollThread()->Suspended());
        const auto answers = bus_->answers(kAddress);
        QVERIFY(bus_->server->waitForAnswers(kAddress, answers + 2, std::chrono::milliseconds(kWait)));
    }

    void failuresAreToldAndNothingIsLost()
    {
        start("dev5");
        // No sample of a silent device has been stored yet.
        sim::Faults silent;
        silent.silent = true;
        bus_->server->setFaults(kAddress, silent);
        QFile::remove(historyPath());
        const QString out = work_->file(QStringLiteral("kept.txt"));
        writeFile(out, "kept");
        saveAs(*Form1->SaveDialog1(), out, [] { Form1->N7Click(); });
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QVERIFY(boxes_->calls[0].text.contains(QStringLiteral("ещё нет")));
        QCOMPARE(readFile(out), QByteArray("kept"));

        // An output that cannot be created: told with its name, polling resumed.
        bus_->server->setFaults(kAddress, {});
        QVERIFY(QTest::qWaitFor([] { return !historyRecords(historyPath()).empty(); }, kWait));
        const QString nowhere = work_->file(QStringLiteral("missing/dir/out.txt"));
        saveAs(*Form1->SaveDialog1(), nowhere, [] { Form1->N7Click(); });
        QCOMPARE(boxes_->calls.size(), std::size_t{2});
        QCOMPARE(boxes_->calls[1].caption, QStringLiteral("Ошибка!"));
        QVERIFY(boxes_->calls[1].text.contains(nowhere));
        // Why, in the window's language.
        QVERIFY2(boxes_->calls[1].text.endsWith(QStringLiteral("Папка не найдена")), qPrintable(boxes_->calls[1].text));
        QVERIFY(!QFile::exists(nowhere));
        QVERIFY(!Form1->pollThread()->Suspended());

        // No device at all: nothing to save, no dialog.
        Form1->N5Click();
        QCOMPARE(Form1->PageControl1->count(), 0);
        const std::size_t before = boxes_->calls.size();
        Form1->N7Click();
        QCOMPARE(boxes_->calls.size(), before + 1);
        QCOMPARE(boxes_->calls.back().text, QStringLiteral("Нет ни одного прибора: сохранять нечего."));
    }

    void deviceLogIsSavedFromItsCharts()
    {
        start("dev5");
        sim::LogSettings log;
        log.count = 12;
        log.disorder = true;
        bus_->server->setLog(kAddress, log);
        const QString out = work_->file(QStringLiteral("log.txt"));
        QString suggested;
        bool readAll = false;
        whenShown(Form5, [&] {
            if (QTest::qWaitFor([] { return Form5->N3->isEnabled(); }, kWait)) {
                Form5->N3->trigger();
                readAll = QTest::qWaitFor([] { return Form5->Series1->count() == 12 && Form5->N3->isEnabled(); },
                                          kWait);
            }
            suggested = saveAs(*Form5->SaveDialog1(), out, [] { Form5->N5Click(); });
            Form5->close();
        });
        Form1->N9Click();
        QVERIFY(readAll);
        QVERIFY2(QRegularExpression(QStringLiteral("^Protdev5 \\d\\d_\\d\\d_\\d{4} \\d\\d_\\d\\d\\.txt$"))
                     .match(suggested)
                     .hasMatch(),
                 qPrintable(suggested));
        QVERIFY(boxes_->calls.empty());
        QVERIFY2(QFile::exists(out), qPrintable(suggested));
        QString problem;
        const QStringList lines = crlfLines(readFile(out), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(lines.size(), 12);
        // In time order, as drawn: the device's records sorted by their time.
        std::vector<Record> held;
        for (std::uint16_t i = 0; i < 12; ++i) {
            const sim::LogRecord r = sim::logRecordFor(kAddress, i, log);
            held.push_back({r.value1, r.value2, grafimo::test::logRecordTime(r)});
        }
        std::stable_sort(held.begin(), held.end(), [](const Record& a, const Record& b) { return a.time < b.time; });
        for (int i = 0; i < 12; ++i) {
            const QString bad = lineCheck(lines[i], held[i]);
            QVERIFY2(bad.isEmpty(), qPrintable(QStringLiteral("line %1: %2").arg(i).arg(bad)));
        }
    }

    void saveAllWritesOneFilePerDeviceWithSamples()
    {
        // Devices 5 and 6 answer; 7 stays silent, so it gets no file.
        prepareBusWith({5, 6, 7}, deviceRecord(5, "dev5") + deviceRecord(6, "dev6") + deviceRecord(7, "dev7"));
        sim::Faults silent;
        silent.silent = true;
        bus_->server->setFaults(7, silent);
        createForms();
        Form1->show();
        QCOMPARE(Form1->N10->text(), QStringLiteral("Сохранить все"));
        for (std::uint8_t a : {5, 6})
            QVERIFY(QTest::qWaitFor([a] { return historyRecords(historyPath(a)).size() >= 5; }, kWait));
        const QString folder = work_->file(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(folder));
        chooseFolderWhenShown(Form1->FolderDialog1(), folder);
        Form1->N10->trigger();

        // Nothing else in the folder: no temporary file, none for the silent device.
        const QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(files.size(), 2);
        qsizetype lines = 0;
        for (std::uint8_t a : {5, 6}) {
            const QString name = files[a - 5];
            // The name "Сохранить" suggests: description, stamp, ".txt".
            QVERIFY2(QRegularExpression(QStringLiteral("^dev%1 \\d\\d_\\d\\d_\\d{4} \\d\\d_\\d\\d\\.txt$").arg(a))
                         .match(name)
                         .hasMatch(),
                     qPrintable(name));
            QString problem;
            const QStringList written = crlfLines(readFile(QDir(folder).filePath(name)), &problem);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            const std::vector<Record> stored = historyRecords(historyPath(a));
            QVERIFY(written.size() >= 5 && static_cast<std::size_t>(written.size()) <= stored.size());
            for (int i = 0; i < written.size(); ++i) {
                const QString bad = lineCheck(written[i], stored[i]);
                QVERIFY2(bad.isEmpty(), qPrintable(QStringLiteral("device %1 line %2: %3").arg(a).arg(i).arg(bad)));
            }
            lines += written.size();
        }
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->calls[0].text,
                 QStringLiteral("Сохранено файлов: 2 (замеров: %1) в папке %2").arg(lines).arg(folder));

        // A file that cannot be put in place is listed with its reason; the other is still written.
        const QString second = work_->file(QStringLiteral("second"));
        QVERIFY(QDir().mkpath(second));
        test::FakeFileCalls refusing;
        refusing.refusedName = "dev6 ";
        {
            ScopedFileCalls use(refusing);
            chooseFolderWhenShown(Form1->FolderDialog1(), second);
            Form1->N10->trigger();
        }
        QCOMPARE(boxes_->calls.size(), std::size_t{2});
        const QString summary = boxes_->calls[1].text;
        QVERIFY2(QRegularExpression(QStringLiteral("^Сохранено файлов: 1 \\(замеров: \\d+\\) в папке .*second\\n\\n"
                                                   "Не удалось сохранить:\\ndev6 .*: Нет доступа$"))
                     .match(summary)
                     .hasMatch(),
                 qPrintable(summary));
        const QStringList kept = QDir(second).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(kept.size(), 1);
        QVERIFY(kept[0].startsWith(QStringLiteral("dev5 ")));
    }

    // "Сохранить все" names its files so that a USB stick takes them, and never puts one in
    // place of a file already there: not of an earlier save in the same minute, nor of the
    // user's own.
    void saveAllNamesFitAnyDiskAndNeverReplaceAFile()
    {
        // 126 Cyrillic letters ("Ж" in the file's code page): 252 bytes of UTF-8 before the stamp.
        const QByteArray longName(126, '\xC6');
        prepareBusWith({5, 6}, deviceRecord(5, longName) + deviceRecord(6, "t:1?"));
        createForms();
        Form1->show();
        for (std::uint8_t a : {5, 6})
            QVERIFY(QTest::qWaitFor([a] { return historyRecords(historyPath(a)).size() >= 2; }, kWait));
        // The user's own files of the names device 6 would get, in this minute and the next.
        const QString folder = work_->file(QStringLiteral("stick"));
        QVERIFY(QDir().mkpath(folder));
        QStringList own;
        for (double minute : {0.0, 1.0 / 1440}) {
            own << QDir(folder).filePath(
                QString::fromStdString(historyExportFileName("t:1?", nowDateTime() + minute, regionalFormats())));
            writeFile(own.back(), "own");
        }
        for (int save = 1; save <= 2; ++save) {
            chooseFolderWhenShown(Form1->FolderDialog1(), folder);
            Form1->N10->trigger();
            QCOMPARE(boxes_->calls.size(), std::size_t(save));
            QVERIFY2(boxes_->calls.back().text.startsWith(QStringLiteral("Сохранено файлов: 2 (замеров: ")),
                     qPrintable(boxes_->calls.back().text));
        }
        for (const QString& file : own)
            QCOMPARE(readFile(file), QByteArray("own"));
        const QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(files.size(), 6);
        int longOnes = 0;
        for (const QString& name : files) {
            QVERIFY2(QFile::encodeName(name).size() <= 255, qPrintable(name));
            QVERIFY2(!name.contains(QLatin1Char(':')) && !name.contains(QLatin1Char('?')), qPrintable(name));
            if (name.startsWith(QString(100, QChar(0x416))))
                ++longOnes;
            else
                QVERIFY2(name.startsWith(QStringLiteral("t_1_ ")), qPrintable(name));
        }
        QCOMPARE(longOnes, 2);
    }

    void regionalFormatsFollowTheLocale()
    {
        const double t = 46088.0 + (13 * 60 + 5) / 1440.0 + 7 / 86400.0; // 7 March 2026 13:05:07
        struct Case {
            QLocale locale;
            std::string line;
        };
        const Case cases[] = {
            // The C locale has no conventions of its own: the interface's Russian ones.
            {QLocale::c(), "23,4 55,7 07.03.2026 13:05:07\r\n"},
            {QLocale(QLocale::Russian, QLocale::Russia), "23,4 55,7 07.03.2026 13:05:07\r\n"},
            // The time-zone part of the long time format is left out.
            {QLocale(QLocale::English, QLocale::UnitedStates), "23.4 55.7 3/7/26 1:05:07 PM\r\n"},
            {QLocale(QLocale::German, QLocale::Germany), "23,4 55,7 07.03.26 13:05:07\r\n"},
        };
        for (const Case& c : cases) {
            const std::string line = exportLine(23.4f, 55.67f, t, regionalFormats(c.locale));
            QVERIFY2(line == c.line, qPrintable(c.locale.name() + QStringLiteral(": ") + QString::fromStdString(line)));
        }
    }

    // Kept last: from the program's end on, every export stops. An export under way stops
    // and leaves nothing; so does the saving of the last run's samples at start-up, which
    // then ends the program with them kept.
    void exportsUnderWayWhenTheProgramIsEndedStopAndLeaveNothing()
    {
        start("dev5");
        QVERIFY(QTest::qWaitFor([] { return historyRecords(historyPath()).size() >= 2; }, kWait));
        const QString out = work_->file(QStringLiteral("out/ended.txt"));
        QVERIFY(QDir().mkpath(QFileInfo(out).path()));
        // What the signal watch does, once the export runs and before its box could show.
        int ends = 0;
        bool ended = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (Form1 && Form1->exporting() && !ended) {
                ended = true;
                ++ends;
                cancelExportsForExit();
                Form1->keepHistoryOnClose();
            }
        });
        watch.start(0);
        saveAs(*Form1->SaveDialog1(), out, [] { Form1->N7Click(); });
        QCOMPARE(ends, 1);
        QVERIFY(!Form1->exporting());
        QVERIFY(boxes_->calls.empty());
        QVERIFY(QDir(QFileInfo(out).path()).isEmpty());

        // Ended so, the run left its samples: the next start offers them, Да, and is ended too.
        const std::uint64_t kept = historyRecords(historyPath()).size();
        destroyForms();
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDYES; };
        ended = false;
        createForms();
        chooseFolderWhenShown(Form1->FolderDialog1(), QFileInfo(out).path());
        Form1->show();
        QCOMPARE(ends, 2);
        QVERIFY(Form1->closed());
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QVERIFY(historyRecords(historyPath()).size() >= kept);
        QVERIFY(QDir(QFileInfo(out).path()).isEmpty());
    }

private:
    void start(const QByteArray& description)
    {
        prepareBus(kAddress, description);
        createForms();
        Form1->show();
    }

    static QString historyPath(std::uint8_t address = kAddress)
    {
        return QString::fromStdString(Form1->historyFile(address).string());
    }

    // Runs `command`, which shows `dialog`; answers it with `file` and returns the name it
    // suggested.
    static QString saveAs(QFileDialog& dialog, const QString& file, const std::function<void()>& command)
    {
        QString suggested;
        whenShown(&dialog, [&] {
            const QStringList preset = dialog.selectedFiles();
            suggested = preset.isEmpty() ? QString() : QFileInfo(preset.first()).fileName();
            // Typed into the name field, as a user does (selectFile() leaves a focused field alone).
            if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(file);
            static_cast<QDialog&>(dialog).accept();
        });
        command();
        return suggested;
    }
};

QTEST_MAIN(TextExportTest)
#include "text_export_test.moc"

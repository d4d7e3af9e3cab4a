// The main window over its bus session: the close that saves, the last run's samples
// whatever became of its marker, and a bus on which no device answers.

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QRegularExpression>
#include <QTest>

#include <filesystem>

#include "Osnovnaya.h"
#include "app_test_support.h"
#include "grafimo/history.h"
#include "grafimo/run_marker.h"
#include "grafimo_test/history_dir_rule.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr int kWait = 15000;
const QString kCloseQuestion = QStringLiteral("Замеры этого запуска ещё не сохранены. Сохранить их перед выходом?");
const QString kLastRunCaption = QStringLiteral("Замеры прошлого запуска");
const QString kAllSilent = QStringLiteral("Нет ответа ни от одного прибора");

std::filesystem::path plantedHistoryDir(const WorkDir& work)
{
    const std::filesystem::path dir = test::historyDirByRule(QFile::encodeName(work.runtimePath()).toStdString(),
                                                             QFile::encodeName(work.path()).toStdString());
    std::filesystem::create_directories(dir);
    return dir;
}

qsizetype linesIn(const QString& folder)
{
    qsizetype lines = 0;
    for (const QString& f : QDir(folder).entryList(QDir::Files))
        lines += readFile(QDir(folder).filePath(f)).count("\r\n");
    return lines;
}

} // namespace

class SessionWindowTest : public WindowTest {
    Q_OBJECT

private slots:
    void init() { initWindowTest(); }
    void cleanup() { cleanupWindowTest(); }

    // "Да" at the close: polling stops before the files are written, so what arrives while
    // the summary box is open cannot be lost with the history the close deletes.
    void samplesDuringTheSaveAtCloseAreNeverLost()
    {
        prepareBus(1, "one");
        createForms();
        Form1->show();
        const std::filesystem::path history = Form1->historyFile(1);
        QTRY_VERIFY_WITH_TIMEOUT(historyRecordCount(history) >= 2, kWait);
        const QString folder = work_->file(QStringLiteral("saved"));
        QVERIFY(QDir().mkpath(folder));

        bool pollingAtSummary = true;
        std::uint64_t historyAfterSummary = 0;
        boxes_->answer = [&](const QString& text, const QString&, unsigned flags) {
            if ((flags & 0x0Fu) == MB_YESNOCANCEL)
                return IDYES;
            if (text.startsWith(QStringLiteral("Сохранено файлов"))) {
                pollingAtSummary = Form1->pollThread() != nullptr;
                // A poll still running would store more samples while the box is open.
                if (pollingAtSummary)
                    bus_->server->waitForAnswers(1, bus_->answers(1) + 3, std::chrono::milliseconds(kWait));
                historyAfterSummary = historyRecordCount(history);
            }
            return IDOK;
        };
        chooseFolderWhenShown(Form1->FolderDialog1(), folder);
        Form1->close();
        QVERIFY(Form1->closed());
        // Every sample the history held when the close deleted it is in the files.
        QCOMPARE(static_cast<std::uint64_t>(linesIn(folder)), historyAfterSummary);
        QVERIFY(!pollingAtSummary);
    }

    // A saving that does not finish (the folder dialog cancelled) leaves the window, and
    // polling starts again on the same port: the samples go on reaching the history.
    void aCancelledSaveAtCloseStartsPollingAgain()
    {
        prepareBus(1, "one");
        createForms();
        Form1->show();
        QTRY_VERIFY_WITH_TIMEOUT(historyRecordCount(Form1->historyFile(1)) >= 2, kWait);
        bool pollingAtDialog = true;
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDYES; };
        whenShown(Form1->FolderDialog1(), [&] {
            pollingAtDialog = Form1->pollThread() != nullptr;
            static_cast<QDialog*>(Form1->FolderDialog1())->reject();
        });
        Form1->close();
        QVERIFY(!Form1->closed());
        QVERIFY(!pollingAtDialog);
        QVERIFY(Form1->portOpen());
        QCOMPARE(Form1->panelText(1), QStringLiteral("Подключен к ttyA"));
        const std::uint64_t before = historyRecordCount(Form1->historyFile(1));
        QTRY_VERIFY_WITH_TIMEOUT(historyRecordCount(Form1->historyFile(1)) > before, kWait);
    }

    // History files found at start are offered whatever the marker says; a marker that
    // cannot be written is told once, and the next start still offers the samples.
    void samplesAreOfferedMarkerOrNot()
    {
        const std::filesystem::path dir = plantedHistoryDir(*work_);
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(1, "one"));
        const HistoryRecord record{1.5f, 2.5f, 46000.25}; // 9 December 2025 06:00
        QVERIFY(appendHistoryRecord(dir / historyFileName(1), record));
        // A stray entry where the marker goes: nothing dates the files, and no marker can be
        // written for the new run.
        std::filesystem::create_directory(dir / kRunMarkerName);
        boxes_->answer = [](const QString&, const QString& caption, unsigned) {
            return caption == kLastRunCaption ? IDNO : IDOK;
        };
        createForms();
        Form1->show();
        QVERIFY(!boxes_->calls.empty());
        QCOMPARE(boxes_->calls[0].caption, kLastRunCaption);
        QVERIFY2(boxes_->calls[0].text.startsWith(QStringLiteral("Найдены замеры запуска от 09.12.2025 06:00")),
                 qPrintable(boxes_->calls[0].text));
        int markerBoxes = 0;
        for (const BoxCall& call : boxes_->calls)
            markerBoxes += call.text.startsWith(QStringLiteral("Не удалось записать отметку о запуске")) ? 1 : 0;
        QCOMPARE(markerBoxes, 1);
        QVERIFY(!std::filesystem::exists(dir / historyFileName(1)));
    }

    // Every configured device silent: the link, not the devices. No device is offered for
    // deletion; panel 1 says so until one answers.
    void allDevicesSilentIsTheLink()
    {
        prepareBusWith({7}, deviceRecord(1, "one") + deviceRecord(2, "two"));
        createForms();
        PollTiming timing;
        timing.gapBeforeRequest = std::chrono::milliseconds(0);
        timing.silenceLimit = 15;
        Form1->setPollTiming(timing);
        Form1->setNoAnswerQuiet(std::chrono::milliseconds(300));
        Form1->show();
        QTRY_VERIFY_WITH_TIMEOUT(Form1->panelText(1) == kAllSilent || !boxes_->calls.empty(), 30000);
        QVERIFY(boxes_->calls.empty());
        QCOMPARE(Form1->panelText(1), kAllSilent);
        QVERIFY(Form1->DeviceTable[1] && Form1->DeviceTable[2]);

        bus_->server->addDevice(sim::DeviceConfig{2, {}, {}});
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Подключен к ttyA"), kWait);
        // Device 1 alone stays silent: it is the device now, and it is offered.
        QTRY_VERIFY_WITH_TIMEOUT(boxes_->anyContaining(QStringLiteral(" с адресом 1 не отвечает!")), 30000);
        QVERIFY(!boxes_->anyContaining(QStringLiteral(" с адресом 2 ")));
    }
};

QTEST_MAIN(SessionWindowTest)
#include "session_window_test.moc"

#include "HistorySaving.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "export_progress.h"
#include "fault_text.h"
#include "grafimo/datetime.h"
#include "grafimo/file_name.h"
#include "grafimo/history.h"
#include "grafimo/run_marker.h"
#include "grafimo/session/bus_session.h"
#include "message_box.h"
#include "save_dialog.h"

namespace grafimo {

namespace {

const QString kError = QStringLiteral("Ошибка!");
const QString kWarning = QStringLiteral("Предупреждение");

// Set for the time an export runs on the GUI thread.
class Flag {
public:
    explicit Flag(bool& flag) : flag_(flag) { flag_ = true; }
    ~Flag() { flag_ = false; }
    Flag(const Flag&) = delete;
    Flag& operator=(const Flag&) = delete;

private:
    bool& flag_;
};

// Time of a history file's first record: the start of the run that wrote it, as near as
// the file tells.
std::optional<double> firstRecordTime(const std::filesystem::path& file)
{
    HistoryBlocks blocks;
    HistoryRecord first{};
    if (!blocks.open(file) || blocks.read(std::span<HistoryRecord>(&first, 1)) != 1)
        return std::nullopt;
    return first.time;
}

} // namespace

HistorySaving::HistorySaving(QWidget& parent, Window& window, session::BusSession& session)
    : parent_(parent), window_(window), session_(session)
{
}

QFileDialog* HistorySaving::folderDialog()
{
    if (!folderDialog_)
        folderDialog_ = createFolderDialog(&parent_);
    return folderDialog_;
}

std::filesystem::path HistorySaving::historyFile(std::uint8_t address) const
{
    return session_.historyFile(address);
}

void HistorySaving::saveDevice(std::uint8_t address, const QString& description, const QString& target,
                               const RegionalFormats& formats)
{
    const std::filesystem::path source = historyFile(address);
    std::error_code ec;
    if (!session_.historyDir() || !std::filesystem::exists(source, ec)) {
        Application_MessageBox(QStringLiteral("Замеров прибора '%1' с адресом %2 ещё нет: сохранять нечего.")
                                   .arg(description)
                                   .arg(address),
                               QStringLiteral("Предупреждение"), MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    // Polling goes on: the export takes the records the file holds now, and the poll thread
    // only adds whole records after them.
    const std::filesystem::path targetPath(QFile::encodeName(target).toStdString());
    std::uint64_t written = 0;
    const Flag exporting(exporting_);
    if (runExport(&parent_, target, [&](const ExportProgress& progress) {
            const ExportResult result = exportHistoryText(source, targetPath, formats, progress);
            written = result.records;
            return result;
        }))
        savedRecords_[address] = std::max(savedRecords_[address], written);
}

bool HistorySaving::saveAll()
{
    if (window_.closing())
        return false;
    std::vector<SaveItem> items;
    const double now = nowDateTime();
    for (std::uint8_t address : window_.deviceOrder()) {
        const std::optional<QString> description = window_.deviceDescription(address);
        if (!description || !session_.historyDir() || historyRecordCount(historyFile(address)) == 0)
            continue;
        items.push_back({address, description->toStdString(), now});
    }
    if (items.empty()) {
        Application_MessageBox(QStringLiteral("Замеров ещё нет: сохранять нечего."), kWarning,
                               MB_OK | MB_ICONEXCLAMATION);
        return true;
    }
    const std::optional<SaveOutcome> outcome = saveHistories(std::move(items), true);
    return outcome && !outcome->cancelled && outcome->failures.isEmpty();
}

std::optional<HistorySaving::SaveOutcome> HistorySaving::saveHistories(std::vector<SaveItem> items, bool thisRun)
{
    const std::optional<QString> folder = askFolder(*folderDialog());
    if (!folder || window_.closed())
        return std::nullopt;

    // A name in use, in the folder or by an earlier file of this save (two devices of one
    // description), gets the next copy number: a save never replaces a file, not even one of
    // a save or a recovery in the same minute. Case is ignored, as FAT and exFAT do. An entry
    // that cannot be looked at counts as free; writing it then fails with its reason.
    const RegionalFormats formats = regionalFormats();
    std::set<QString> names;
    for (SaveItem& item : items) {
        item.fileName = QString::fromStdString(firstFreeFileName(
            [&](unsigned copy) { return historyExportFileName(item.description, item.time, formats, copy); },
            [&](const std::string& name) {
                std::error_code ec;
                const auto type = std::filesystem::symlink_status(
                    QFile::encodeName(QDir(*folder).filePath(QString::fromStdString(name))).toStdString(), ec).type();
                return names.contains(QString::fromStdString(name).toCaseFolded())
                       || (type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none);
            }));
        names.insert(item.fileName.toCaseFolded());
    }

    // The files are written by two threads of their own, each taking the next device, so a
    // large set takes half the time on two cores; the GUI thread shows the progress.
    struct Job {
        std::filesystem::path source;
        std::filesystem::path target;
        std::atomic<std::uint64_t> done{0};
        ExportResult result;
    };
    std::vector<Job> jobs(items.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        jobs[i].source = historyFile(items[i].address);
        jobs[i].target = QFile::encodeName(QDir(*folder).filePath(items[i].fileName)).toStdString();
        // A job never started counts as cancelled.
        jobs[i].result.cancelled = true;
        total += historyRecordCount(jobs[i].source);
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    const std::size_t threads = std::min<std::size_t>(2, jobs.size());
    std::atomic<std::size_t> running{threads};
    auto work = [&] {
        for (std::size_t i; !stop.load() && (i = next.fetch_add(1)) < jobs.size();) {
            Job& job = jobs[i];
            job.result = exportHistoryText(job.source, job.target, formats, [&](std::uint64_t done, std::uint64_t) {
                job.done.store(done);
                return !stop.load() && !exportsCancelledForExit();
            });
        }
        running.fetch_sub(1);
    };
    {
        const Flag exporting(exporting_);
        ExportProgressBox box(&parent_, QStringLiteral("Сохранить все"), QString());
        std::vector<std::thread> workers;
        for (std::size_t t = 0; t < threads; ++t)
            workers.emplace_back(work);
        for (;;) {
            const std::size_t started = std::min(next.load(), jobs.size());
            std::uint64_t done = 0;
            for (const Job& job : jobs)
                done += job.done.load();
            const int permille = total == 0 ? 1000 : static_cast<int>(std::min(done, total) * 1000 / total);
            const QString label = started == 0 ? QString()
                                               : QStringLiteral("Прибор %1 из %2: %3\nЗамеров: %4 из %5")
                                                     .arg(started)
                                                     .arg(items.size())
                                                     .arg(items[started - 1].fileName)
                                                     .arg(done)
                                                     .arg(total);
            if (!box.step(permille, label))
                stop.store(true);
            if (running.load() == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (std::thread& worker : workers)
            worker.join();
        box.close();
    }
    SaveOutcome outcome;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const ExportResult& result = jobs[i].result;
        if (result.ok) {
            ++outcome.files;
            outcome.records += result.records;
            if (thisRun)
                savedRecords_[items[i].address] = std::max(savedRecords_[items[i].address], result.records);
        } else if (result.cancelled) {
            outcome.cancelled = true;
        } else {
            outcome.failures << items[i].fileName + QStringLiteral(": ")
                                    + (result.fault ? faultReason(result.fault) : QString::fromLocal8Bit(result.error.c_str()));
        }
    }
    if (window_.closed() || exportsCancelledForExit())
        return outcome;

    QString text = QStringLiteral("Сохранено файлов: %1 (замеров: %2) в папке %3")
                       .arg(outcome.files)
                       .arg(outcome.records)
                       .arg(QDir::toNativeSeparators(*folder));
    // A few failures are listed in the box; a long list (a folder that cannot be written)
    // would run off the screen and goes behind the details button.
    constexpr qsizetype kListedInBox = 8;
    QString details;
    if (!outcome.failures.isEmpty() && outcome.failures.size() <= kListedInBox)
        text += QStringLiteral("\n\nНе удалось сохранить:\n") + outcome.failures.join(QLatin1Char('\n'));
    else if (!outcome.failures.isEmpty()) {
        text += QStringLiteral("\n\nНе удалось сохранить файлов: %1 (см. подробности).").arg(outcome.failures.size());
        details = QStringLiteral("Не удалось сохранить:\n") + outcome.failures.join(QLatin1Char('\n'));
    }
    Application_MessageBox(text, outcome.failures.isEmpty() ? QStringLiteral("Сохранить все") : kError,
                           outcome.failures.isEmpty() ? MB_OK | MB_ICONINFORMATION : MB_OK | MB_ICONEXCLAMATION,
                           details);
    return outcome;
}

bool HistorySaving::hasUnsavedSamples() const
{
    if (!session_.historyDir())
        return false;
    for (std::uint8_t address : window_.deviceOrder()) {
        if (historyRecordCount(historyFile(address)) > savedRecords_[address])
            return true;
    }
    return false;
}

void HistorySaving::recoverLastRun()
{
    if (!session_.historyDir())
        return;
    // Every history file found is offered, whether the run left its marker or not (one that
    // could not be written must not cost the samples): the marker only dates them.
    const std::optional<RunMarker> marker = session_.lastRunMarker();
    std::vector<SaveItem> items;
    std::uint64_t records = 0;
    for (int a = 0; a <= 255; ++a) {
        const auto address = static_cast<std::uint8_t>(a);
        const std::optional<HistoryRecord> last = lastHistoryRecord(historyFile(address));
        if (!last)
            continue;
        records += historyRecordCount(historyFile(address));
        // A device no longer configured is named by its address.
        const QString description = window_.deviceDescription(address).value_or(QString::number(a));
        items.push_back({address, description.toStdString(), last->time});
    }
    if (items.empty())
        return;
    std::optional<double> startedAt;
    if (marker)
        startedAt = marker->started;
    for (const SaveItem& item : items) {
        if (marker)
            break;
        const std::optional<double> first = firstRecordTime(historyFile(item.address));
        if (first && (!startedAt || *first < *startedAt))
            startedAt = first;
    }
    const DateTimeFields started = decodeDateTime(startedAt.value_or(0));
    const QString text = QStringLiteral("Найдены замеры запуска от %1, завершившегося без сохранения: "
                                        "приборов %2, замеров %3. Сохранить их?")
                             .arg(QString::asprintf("%02d.%02d.%04d %02d:%02d", started.day, started.month,
                                                    started.year, started.hour, started.minute))
                             .arg(items.size())
                             .arg(records);
    const Flag recovering(recovering_);
    // Asked again until the files are written or the user lets them go: a cancelled folder
    // dialog or a file that failed must not clear them.
    while (!window_.closing() && !window_.keepingHistory()) {
        if (Application_MessageBox(text, QStringLiteral("Замеры прошлого запуска"), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
        if (window_.closing() || window_.keepingHistory())
            return;
        const std::optional<SaveOutcome> outcome = saveHistories(items, false);
        if (outcome && !outcome->cancelled && outcome->failures.isEmpty())
            return;
    }
}

} // namespace grafimo

#include "Oproskanala.h"

#include <thread>

#include "Readthread.h"
#include "grafimo/datetime.h"
#include "grafimo/frames.h"
#include "grafimo/monitor_line.h"
#include "grafimo/platform/disk_space.h"

namespace grafimo {

// ---- PollDevices ----

namespace {
std::int64_t nowTicks()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}
} // namespace

PollDevices::PollDevices()
{
    for (auto& c : noAnswer_)
        c.store(0, std::memory_order_relaxed);
    const std::int64_t now = nowTicks();
    for (auto& t : lastHeard_)
        t.store(now, std::memory_order_relaxed);
}

void PollDevices::setTabs(std::vector<std::uint8_t> addressesInTabOrder)
{
    std::lock_guard lock(mutex_);
    std::array<bool, 256> now{};
    for (std::uint8_t a : addressesInTabOrder)
        now[a] = true;
    for (std::size_t a = 0; a < 256; ++a) {
        // A device that comes or goes starts again with empty charts and a clean count.
        if (now[a] != configured_[a]) {
            chartPoints_[a] = 0;
            noAnswer_[a].store(0, std::memory_order_relaxed);
            lastHeard_[a].store(nowTicks(), std::memory_order_relaxed);
        }
    }
    configured_ = now;
    tabs_ = std::move(addressesInTabOrder);
}

std::vector<std::uint8_t> PollDevices::tabs() const
{
    std::lock_guard lock(mutex_);
    return tabs_;
}

bool PollDevices::isConfigured(std::uint8_t address) const
{
    std::lock_guard lock(mutex_);
    return configured_[address];
}

std::uint8_t PollDevices::noAnswerCount(std::uint8_t address) const
{
    return noAnswer_[address].load(std::memory_order_relaxed);
}

void PollDevices::setNoAnswerCount(std::uint8_t address, std::uint8_t value)
{
    noAnswer_[address].store(value, std::memory_order_relaxed);
}

void PollDevices::countMissingAnswer(std::uint8_t address)
{
    // One step up, held at 254; a compare-exchange loop so that a concurrent reset by
    // the no-answer watch is never overwritten with a stale value + 1.
    auto& c = noAnswer_[address];
    std::uint8_t cur = c.load(std::memory_order_relaxed);
    while (cur < 254 && !c.compare_exchange_weak(cur, static_cast<std::uint8_t>(cur + 1),
                                                 std::memory_order_relaxed)) {
    }
}

void PollDevices::resetNoAnswer(std::uint8_t address)
{
    noAnswer_[address].store(0, std::memory_order_relaxed);
    lastHeard_[address].store(nowTicks(), std::memory_order_relaxed);
}

std::chrono::steady_clock::time_point PollDevices::lastHeard(std::uint8_t address) const
{
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastHeard_[address].load(std::memory_order_relaxed)));
}

std::size_t PollDevices::chartPoints(std::uint8_t address) const
{
    std::lock_guard lock(mutex_);
    return chartPoints_[address];
}

void PollDevices::setChartPoints(std::uint8_t address, std::size_t points)
{
    std::lock_guard lock(mutex_);
    chartPoints_[address] = points;
}

// ---- oprosKanala ----

oprosKanala::oprosKanala(Link& link, platform::SerialPort& port, PollDevices& devices,
                         PollView& view, std::filesystem::path historyDir,
                         ReadThread* rxThread, PollTiming timing, HistoryReader readHistory)
    : link_(link), port_(port), devices_(devices), view_(view),
      historyDir_(std::move(historyDir)), rxThread_(rxThread), timing_(timing),
      readHistory_(readHistory ? std::move(readHistory) : HistoryReader(readThinnedHistory))
{
}

oprosKanala::~oprosKanala()
{
    stopAndWait();
}

std::filesystem::path oprosKanala::historyFile(std::uint8_t address) const
{
    return historyDir_ / historyFileName(address);
}

bool oprosKanala::sleepUnlessTerminated(std::chrono::steady_clock::duration d)
{
    std::unique_lock lock(sleepMutex_);
    return !sleepCv_.wait_for(lock, d, [this] { return Terminated(); });
}

void oprosKanala::onTerminate()
{
    { std::lock_guard lock(sleepMutex_); }
    sleepCv_.notify_all();
    // An exchange waiting for a slow device's answer would hold the closing window for up
    // to the whole deadline.
    link_.wakeAll();
}

void oprosKanala::Execute()
{
    // A pause takes effect here only, between two exchanges, so the line and the buffers
    // are never left in the middle of one.
    while (safePoint()) {
        pass();
        devices_.PollIdle.store(true);
    }
}

void oprosKanala::pass()
{
    devices_.PollIdle.store(true);
    const std::vector<std::uint8_t> tabs = devices_.tabs();
    if (tabs.empty()) {
        sleepUnlessTerminated(timing_.idleWithoutTabs);
        return;
    }
    // One sleep for the pause before a request and the quiet line it needs (the gap between
    // frames after a complete answer); bytes that come meanwhile are waited out by the
    // exchange itself.
    const auto now = std::chrono::steady_clock::now();
    const auto quiet = std::min(link_.quietAt(timing_.silenceLimit) - now,
                                std::chrono::steady_clock::duration(AnswerWait::full(timing_.silenceLimit).deadline));
    if (!sleepUnlessTerminated(std::max<std::chrono::steady_clock::duration>(timing_.gapBeforeRequest, quiet)))
        return;
    devices_.PollIdle.store(false);

    std::uint8_t index = static_cast<std::uint8_t>(devices_.PollIndex.load() + 1);
    if (index >= tabs.size())
        index = 0;
    devices_.PollIndex.store(index);
    const std::uint8_t polled = tabs[index];

    const auto request = buildLiveRequest(polled);
    // The request is built by the exchange from its first six bytes (it appends the CRC).
    const Link::Answer got = exchange(
        link_, port_, std::span<const std::uint8_t>(request.data(), 6),
        waits_.next(polled, timing_.silenceLimit, kLiveAnswerSize),
        [this](std::span<const std::uint8_t> sent) { view_.requestSent(monitorLine(sent)); });
    // Cut short by the end of the thread: what came so far may be half an answer.
    if (got.interrupted)
        return;
    // The request never went out: no miss for the device. The port is gone and the window
    // is closing it; meanwhile this thread does not spin on it.
    if (got.writeFailed) {
        sleepUnlessTerminated(timing_.idleWithoutTabs);
        return;
    }
    const std::vector<std::uint8_t>& answer = got.bytes;
    waits_.record(polled, !answer.empty());
    view_.pollDone(polled, !answer.empty());

    if (answer.empty()) {
        devices_.countMissingAnswer(polled);
        return;
    }
    // Any answer at all shows the device is alive, whatever its CRC says.
    devices_.resetNoAnswer(polled);
    // Every byte received, an adapter's echo and bytes after the frame included.
    view_.answerReceived(monitorAnswerLine(got.received, got.responseTime.value_or(std::chrono::microseconds{})));

    const std::optional<LiveSample> sample = decodeLiveAnswer(answer);
    if (!sample)
        return;
    const double t = nowDateTime();
    // The answer's own address picks the device; an unconfigured one is dropped.
    if (!devices_.isConfigured(sample->address))
        return;
    // The device named in the answer is alive too (a slow one taken for dead may answer a
    // brief request only after the next one is out): it gets the full deadline back.
    if (sample->address != polled)
        waits_.record(sample->address, true);

    view_.samplePlotted(sample->address, sample->value1, sample->value2, t);

    const std::filesystem::path file = historyFile(sample->address);
    const HistoryRecord record{sample->value1, sample->value2, t};
    const bool stored = appendHistoryRecord(file, record);
    view_.sampleStored(sample->address, record, stored);
    if (stored) {
        writeFailReported_[sample->address] = false;
    } else {
        writeFailedSinceReload_[sample->address] = true;
        if (!writeFailReported_[sample->address]) {
            writeFailReported_[sample->address] = true;
            view_.historyWriteFailed(sample->address, file.string());
        }
    }

    watchDiskSpace();

    const std::size_t points = devices_.chartPoints(sample->address) + 1;
    devices_.setChartPoints(sample->address, points);
    if (points >= timing_.reloadAtPoints)
        reloadHistory(sample->address);
}

void oprosKanala::setDiskSpaceWatch(std::uint64_t lowBytes, std::chrono::milliseconds every)
{
    lowSpaceBytes_ = lowBytes;
    spaceCheckEvery_ = every;
}

void oprosKanala::watchDiskSpace()
{
    // Here, not on the GUI thread: statvfs on a slow or hung filesystem may take long.
    const auto now = std::chrono::steady_clock::now();
    if (now < nextSpaceCheck_)
        return;
    nextSpaceCheck_ = now + spaceCheckEvery_;
    const std::optional<std::uint64_t> free = platform::freeDiskBytes(historyDir_);
    if (!free)
        return;
    const bool low = *free < lowSpaceBytes_;
    if (low != spaceLow_) {
        spaceLow_ = low;
        view_.diskSpaceLow(low, *free);
    }
}

void oprosKanala::reloadHistory(std::uint8_t address)
{
    const std::size_t points = devices_.chartPoints(address);
    // A file that holds fewer records than the charts hold points misses samples the charts
    // still show (stores failed, or the file was deleted under us and written anew):
    // reloading from it would take them off the charts. The charts are thinned by the same
    // rule where they are.
    std::error_code sizeError;
    const std::uintmax_t bytes = std::filesystem::file_size(historyFile(address), sizeError);
    const bool fileShort = !sizeError && bytes / kHistoryRecordSize < points;
    if (writeFailedSinceReload_[address] || fileShort) {
        writeFailedSinceReload_[address] = false;
        const std::size_t stride = static_cast<std::size_t>(thinningStride(points));
        devices_.setChartPoints(address, (points + stride - 1) / stride);
        view_.chartsThinned(address, stride);
        return;
    }
    std::optional<std::vector<HistoryRecord>> records;
    {
        // Bytes that arrive meanwhile wait in the driver's queue. The receive thread goes on
        // however the read ends: a fault here must not leave it paused for good.
        platform::SuspendGuard rxPaused(rxThread_);
        records = readHistory_(historyFile(address));
    }
    if (!records) {
        // No file to thin from (deleted under us, or never written): the charts keep their
        // points; the count restarts so the attempt is not repeated on every sample.
        devices_.setChartPoints(address, 0);
        return;
    }
    devices_.setChartPoints(address, records->size());
    view_.historyReloaded(address, std::move(*records));
}

} // namespace grafimo

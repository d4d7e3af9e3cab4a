#include "grafimo/config_file.h"

#include "grafimo/file_calls.h"
#include "posix_file.h"
#include "replacing_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <sys/stat.h>

namespace grafimo {

namespace fs = std::filesystem;
using detail::Fd;

namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;

bool readWholeFile(int fd, std::vector<std::uint8_t>& out)
{
    out.clear();
    std::array<std::uint8_t, 65536> chunk{};
    off_t offset = 0;
    for (;;) {
        const ssize_t r = detail::preadUpTo(fd, chunk.data(), chunk.size(), offset);
        if (r < 0)
            return false;
        out.insert(out.end(), chunk.begin(), chunk.begin() + r);
        offset += r;
        if (static_cast<std::size_t>(r) < chunk.size())
            return true;
    }
}

// The record region as the devices were written: each 0x0D 0x0A pair back to 0x0A.
std::vector<std::uint8_t> reduceNewlines(std::span<const std::uint8_t> stored)
{
    std::vector<std::uint8_t> out;
    out.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] == kCR && i + 1 < stored.size() && stored[i + 1] == kLF)
            ++i;
        out.push_back(stored[i]);
    }
    return out;
}

void appendExpanded(std::vector<std::uint8_t>& out, std::uint8_t b)
{
    if (b == kLF)
        out.push_back(kCR);
    out.push_back(b);
}

// Writes the whole content over the file's old bytes, cuts it to length and syncs; not
// proof against a crash half-way, so only used where no file can be made beside it. The
// new length is reserved first: on a full disk or quota nothing is overwritten.
bool rewriteInPlace(const fs::path& target, const std::vector<std::uint8_t>& content, FileFault& fault)
{
    FileCalls& calls = fileCalls();
    int raw;
    do {
        raw = calls.open(target.c_str(), O_WRONLY | O_CLOEXEC, 0);
    } while (raw < 0 && errno == EINTR);
    Fd fd(raw);
    if (!fd) {
        fault = {FileFault::Step::Open, target, errno};
        return false;
    }
    const auto length = static_cast<off_t>(content.size());
    struct stat st {};
    if (calls.fstat(fd.get(), &st) != 0) {
        fault = {FileFault::Step::Open, target, errno};
        return false;
    }
    if (length > st.st_size) {
        // A filesystem that cannot reserve space is written as before.
        if (const int err = calls.fallocate(fd.get(), 0, length); err != 0 && err != EOPNOTSUPP) {
            fault = {FileFault::Step::Write, target, err};
            return false;
        }
    }
    off_t offset = 0;
    while (offset < length) {
        const ssize_t w = calls.pwrite(fd.get(), content.data() + offset, content.size() - static_cast<std::size_t>(offset), offset);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            fault = {FileFault::Step::Write, target, errno};
            return false;
        }
        offset += w;
    }
    if (calls.ftruncate(fd.get(), length) != 0 || calls.fsync(fd.get()) != 0 || !fd.close()) {
        fault = {FileFault::Step::Write, target, errno};
        return false;
    }
    return true;
}

} // namespace

namespace {

// The device records of a whole file's bytes; `cutShort` tells whether the last record
// ends before its description does.
std::vector<DeviceRecord> parseRecords(std::span<const std::uint8_t> content, bool* cutShort = nullptr)
{
    std::vector<DeviceRecord> devices;
    if (cutShort)
        *cutShort = false;
    if (content.size() <= kConfigHeaderSize)
        return devices;
    const std::vector<std::uint8_t> records = reduceNewlines(content.subspan(kConfigHeaderSize));
    std::array<bool, 256> seen{};
    std::size_t i = 0;
    while (i < records.size()) {
        const std::uint8_t address = records[i++];
        std::string description;
        bool whole = false;
        if (i < records.size()) {
            const std::size_t length = records[i++];
            const std::size_t available = std::min(length, records.size() - i);
            description.assign(reinterpret_cast<const char*>(records.data() + i), available);
            i += available;
            whole = available == length;
        }
        if (cutShort && !whole)
            *cutShort = true;
        if (seen[address])
            continue;
        seen[address] = true;
        devices.push_back({address, std::move(description)});
    }
    return devices;
}

} // namespace

ConfigLoad loadDeviceList(const fs::path& file)
{
    Fd fd(detail::openRetry(file.c_str(), O_RDONLY));
    if (!fd) {
        if (errno == ENOENT) {
            // Created empty; without O_TRUNC a file that appears meanwhile is kept.
            Fd created(detail::openRetry(file.c_str(), O_WRONLY | O_CREAT, 0666));
        }
        return {false, {}};
    }
    std::vector<std::uint8_t> content;
    if (!readWholeFile(fd.get(), content))
        return {false, {}};
    fd.reset();
    return {true, parseRecords(content)};
}

std::string readPortName(const fs::path& file)
{
    Fd fd(detail::openRetry(file.c_str(), O_RDONLY));
    if (!fd)
        return {};
    std::array<std::uint8_t, 256> buf{};
    const ssize_t got = detail::preadUpTo(fd.get(), buf.data(), buf.size(), 0);
    if (got < 1)
        return {};
    const std::size_t n = std::min<std::size_t>(buf[0], static_cast<std::size_t>(got) - 1);
    return std::string(reinterpret_cast<const char*>(buf.data() + 1), n);
}

ConfigRead readConfigOnly(const fs::path& file)
{
    ConfigRead out;
    // Non-blocking, so a FIFO put in its place cannot hold the reader; never created.
    Fd fd(detail::openRetry(file.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fd) {
        out.error = errno;
        out.status = errno == ENOENT ? ConfigRead::Status::Missing : ConfigRead::Status::Unreadable;
        return out;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        out.error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        out.status = ConfigRead::Status::Unreadable;
        return out;
    }
    // Far beyond the largest file the device table can give (256 records of 257 bytes,
    // every byte doubled), so a bigger one is not a configuration.
    constexpr off_t kMostBytes = 1 << 20;
    if (st.st_size > kMostBytes) {
        out.size = static_cast<std::size_t>(st.st_size);
        out.status = ConfigRead::Status::TooLarge;
        return out;
    }
    std::vector<std::uint8_t> content;
    if (!readWholeFile(fd.get(), content)) {
        out.error = errno;
        out.status = ConfigRead::Status::Unreadable;
        return out;
    }
    out.size = content.size();
    if (content.empty()) {
        out.status = ConfigRead::Status::Empty;
        return out;
    }
    if (content.size() < kConfigHeaderSize) {
        out.status = ConfigRead::Status::HeaderCutShort;
        return out;
    }
    out.portName.assign(reinterpret_cast<const char*>(content.data() + 1), std::min<std::size_t>(content[0], kMaxPortNameLength));
    bool cutShort = false;
    out.devices = parseRecords(content, &cutShort);
    if (content[0] > kMaxPortNameLength)
        out.status = ConfigRead::Status::BadPortName;
    else if (cutShort)
        out.status = ConfigRead::Status::RecordCutShort;
    else if (out.devices.empty())
        out.status = ConfigRead::Status::NoDevices;
    else if (out.portName.empty() || out.portName == "NULL")
        out.status = ConfigRead::Status::NoPort;
    else
        out.status = ConfigRead::Status::Ok;
    return out;
}

ConfigWrite writePortName(const fs::path& file, std::string_view name)
{
    if (name.size() > kMaxPortNameLength)
        return ConfigWrite::Failed;
    Fd fd(detail::openRetry(file.c_str(), O_WRONLY));
    if (!fd)
        return errno == ENOENT ? ConfigWrite::Missing : ConfigWrite::Failed;
    std::vector<std::uint8_t> record;
    record.push_back(static_cast<std::uint8_t>(name.size()));
    record.insert(record.end(), name.begin(), name.end());
    if (!detail::pwriteAll(fd.get(), record.data(), record.size(), 0))
        return ConfigWrite::Failed;
    return fd.close() ? ConfigWrite::Ok : ConfigWrite::Failed;
}

RewriteResult writeDeviceRecords(const fs::path& file, std::span<const DeviceRecord> inTabOrder)
{
    RewriteResult result{false, ConfigWrite::Failed, {}, {}};

    // A symbolic link stays a link: the file it points to is the one rewritten, unless
    // another user planted the link.
    const auto followed = detail::followLinks(file, result.fault);
    if (!followed) {
        result.existed = true;
        result.error = describe(result.fault);
        return result;
    }
    const fs::path target = *followed;

    std::array<std::uint8_t, kConfigHeaderSize> header{};
    {
        Fd old(detail::openRetry(target.c_str(), O_RDONLY));
        if (old) {
            result.existed = true;
            if (detail::preadUpTo(old.get(), header.data(), header.size(), 0) < 0) {
                result.fault = {FileFault::Step::Read, target, errno};
                result.error = describe(result.fault);
                return result;
            }
        } else if (errno != ENOENT) {
            result.existed = true;
            result.fault = {FileFault::Step::Open, target, errno};
            result.error = describe(result.fault);
            return result;
        }
    }

    std::vector<std::uint8_t> content(header.begin(), header.end());
    for (const DeviceRecord& d : inTabOrder) {
        if (d.description.size() > kMaxDescriptionLength) {
            result.error = "description of device " + std::to_string(d.address) + " is " +
                           std::to_string(d.description.size()) +
                           " bytes long; at most 255 can be stored";
            return result;
        }
        appendExpanded(content, d.address);
        appendExpanded(content, static_cast<std::uint8_t>(d.description.size()));
        for (char c : d.description)
            appendExpanded(content, static_cast<std::uint8_t>(c));
    }

    // A file of another owner (left by a run as root, or kept by an administrator) keeps
    // its owner: it is rewritten where it is, as is a file whose directory takes no new file.
    struct stat st {};
    const bool othersFile =
        result.existed && fileCalls().stat(target.c_str(), &st) == 0 && st.st_uid != ::geteuid();
    if (!othersFile) {
        detail::ReplacingFile out;
        std::string error;
        if (out.open(target, error)) {
            if (out.write(content.data(), content.size(), result.error) && out.commit(result.error))
                result.status = ConfigWrite::Ok;
            else
                result.fault = out.fault();
            return result;
        }
        const int err = out.lastError();
        if (!result.existed || (err != EACCES && err != EPERM && err != EROFS)) {
            result.fault = out.fault();
            result.error = error;
            return result;
        }
    }
    if (rewriteInPlace(target, content, result.fault))
        result.status = ConfigWrite::Ok;
    else
        result.error = describe(result.fault);
    return result;
}

} // namespace grafimo

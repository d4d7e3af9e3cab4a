#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "grafimo/file_fault.h"

namespace grafimo {

// The configuration file "grafimo.cfg": a 100-byte header whose first byte is the
// length n of the port name and whose next n bytes are the name, then one record per
// device (address byte, description length byte, description bytes) in tab order.
// In the record region every byte 0x0A is stored as the pair 0x0D 0x0A.

inline constexpr std::size_t kConfigHeaderSize = 100;
inline constexpr std::size_t kMaxPortNameLength = kConfigHeaderSize - 1;
inline constexpr std::size_t kMaxDescriptionLength = 255;

struct DeviceRecord {
    std::uint8_t address;
    std::string description; // Windows-1251 bytes as stored in the file
};

struct ConfigLoad {
    bool found;                       // false: the file could not be opened
    std::vector<DeviceRecord> devices; // in file (= tab) order
};

// Reads the device records. A missing file is created empty (zero bytes) and gives
// found = false with no devices; a file that exists but cannot be read is left alone
// and also gives found = false. A record cut short by the end of the file keeps the
// bytes that are there (an empty description when even the length byte is missing).
// A file that lists one address twice yields one device for it: the first record's
// position and description; later records with that address are ignored.
ConfigLoad loadDeviceList(const std::filesystem::path& file);

// The stored port name: the length byte n, then up to n bytes. Empty when the file is
// empty, missing or unreadable.
std::string readPortName(const std::filesystem::path& file);

// What a reader that must never write the file (the recorder) finds in it.
struct ConfigRead {
    enum class Status {
        Ok,
        Missing,        // no such file
        Unreadable,     // cannot be opened or read, or not a regular file (`error`)
        TooLarge,       // far larger than any device list (`size`)
        Empty,          // zero bytes: made by a first start that never stored anything
        HeaderCutShort, // fewer than the 100 header bytes (`size`)
        BadPortName,    // the port name's length byte says more than 99
        RecordCutShort, // the last device record ends early (the devices before it are whole)
        NoDevices,      // a whole header and no device record
        NoPort,         // devices, but no port stored (empty or "NULL")
    };
    Status status = Status::Unreadable;
    int error = 0;
    std::size_t size = 0;
    std::string portName;
    std::vector<DeviceRecord> devices; // as loadDeviceList gives them
};

// Reads the whole file without creating, locking or changing it, and says what is wrong
// with it for polling.
ConfigRead readConfigOnly(const std::filesystem::path& file);

enum class ConfigWrite { Ok, Missing, Failed };

// Writes the length byte and the name at offset 0 of the existing file, leaving every
// other byte as it was. Missing when the file does not exist (nothing is created);
// Failed for a name longer than 99 bytes (nothing is written) or an I/O error.
ConfigWrite writePortName(const std::filesystem::path& file, std::string_view name);

struct RewriteResult {
    bool existed;       // the file was there before the rewrite
    ConfigWrite status; // Ok or Failed
    std::string error;  // why it failed; empty when Ok
    FileFault fault;    // the file step that failed, when one did
};

// Rewrites the file: the first 100 bytes of the existing file (zero-filled when it is
// shorter or missing), then the records in the given order. The new content goes to a
// temporary file beside the old one, is flushed to disk and renamed over it, so a
// failure leaves the old file as it was; the old file's permission bits and group are
// kept. A link is followed only when it is the user's or the folder owner's. A file that
// cannot be replaced (another owner's, or in a folder that takes no new file) is rewritten
// where it is, its new length reserved first so that a full disk leaves it as it was.
// Fails without writing when a description is longer than 255 bytes, or when the
// existing file cannot be read (its header would be lost).
RewriteResult writeDeviceRecords(const std::filesystem::path& file,
                                 std::span<const DeviceRecord> inTabOrder);

} // namespace grafimo

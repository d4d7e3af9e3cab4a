// The configuration file loader on any bytes of any length: the port name and the device
// list are read, the list is written back and must read back the same.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "grafimo/config_file.h"

using namespace grafimo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto file = fuzz::scratchDir() / "grafimo.cfg";
    fuzz::writeWhole(file, {data, size});

    const std::string port = readPortName(file);
    // The length byte may claim up to 255 bytes; the name is what of them is there.
    const std::size_t claimed = size ? std::min<std::size_t>(data[0], size - 1) : 0;
    FUZZ_CHECK(port == std::string(reinterpret_cast<const char*>(data) + (size ? 1 : 0), claimed));

    const ConfigLoad load = loadDeviceList(file);
    FUZZ_CHECK(load.found);
    std::vector<bool> seen(256, false);
    for (const DeviceRecord& d : load.devices) {
        FUZZ_CHECK(!seen[d.address]); // one device per address
        seen[d.address] = true;
        FUZZ_CHECK(d.description.size() <= kMaxDescriptionLength);
    }

    // What was loaded survives a rewrite unchanged, and the header keeps the port name.
    const RewriteResult rw = writeDeviceRecords(file, load.devices);
    FUZZ_CHECK(rw.existed && rw.status == ConfigWrite::Ok);
    const ConfigLoad again = loadDeviceList(file);
    FUZZ_CHECK(again.found && again.devices.size() == load.devices.size());
    for (std::size_t i = 0; i < again.devices.size(); ++i) {
        FUZZ_CHECK(again.devices[i].address == load.devices[i].address);
        FUZZ_CHECK(again.devices[i].description == load.devices[i].description);
    }
    // A name that fits the header is left as it was.
    if (size >= kConfigHeaderSize && data[0] <= kMaxPortNameLength)
        FUZZ_CHECK(readPortName(file) == port);
    return 0;
}

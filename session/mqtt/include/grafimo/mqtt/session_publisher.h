#pragma once
// The publisher as one more listener of a bus session: a stored sample wakes it, a device
// silent or back changes its availability. Added with BusSession::addListener before the
// link opens; the publisher must outlive the session's threads.

#include "grafimo/mqtt/mqtt_publisher.h"
#include "grafimo/session/bus_session.h"

namespace grafimo::mqtt {

class SessionPublisher final : public session::SessionEvents {
public:
    explicit SessionPublisher(MqttPublisher& publisher) : publisher_(publisher) {}

    // Poll thread: never waits on the network.
    void sampleStored(std::uint8_t address, const HistoryRecord&, bool stored) override
    {
        if (stored)
            publisher_.sampleStored(address);
    }
    void deviceSilent(std::uint8_t address, unsigned) override { publisher_.deviceAvailability(address, false); }
    void deviceBack(std::uint8_t address) override { publisher_.deviceAvailability(address, true); }

private:
    MqttPublisher& publisher_;
};

// The publisher's options for a session whose history directory is set up: its directory,
// the folder's key, the devices with their descriptions (Windows-1251 bytes as grafimo.cfg
// keeps them) in UTF-8.
struct ConfiguredDevice {
    std::uint8_t address;
    std::string descriptionCp1251;
};
PublisherOptions sessionPublisherOptions(const session::BusSession& session, MqttSettings settings,
                                         const std::vector<ConfiguredDevice>& devices);

} // namespace grafimo::mqtt

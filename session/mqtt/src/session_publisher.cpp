#include "grafimo/mqtt/session_publisher.h"

#include "grafimo/text_codec.h"

namespace grafimo::mqtt {

PublisherOptions sessionPublisherOptions(const session::BusSession& session, MqttSettings settings,
                                         const std::vector<ConfiguredDevice>& devices)
{
    PublisherOptions o;
    o.settings = std::move(settings);
    if (session.historyDir()) {
        o.historyDir = *session.historyDir();
        o.folderKey = folderKeyOf(o.historyDir);
    }
    for (const ConfiguredDevice& d : devices)
        o.devices.push_back({d.address, cp1251ToUtf8(d.descriptionCp1251)});
    return o;
}

} // namespace grafimo::mqtt

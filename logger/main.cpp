// grafimo-logger: the recorder without a window. It polls the devices of a folder's
// grafimo.cfg on the port or gateway stored there, appends every sample to the devices'
// history files, and reports each change of state in one line on stderr.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "event_log.h"
#include "grafimo/config_file.h"
#include "grafimo/file_fault.h"
#include "grafimo/mqtt/mqtt_publisher.h"
#include "grafimo/mqtt/session_publisher.h"
#include "grafimo/platform/dirs.h"
#include "grafimo/platform/service_notify.h"
#include "grafimo/session/bus_session.h"
#include "grafimo/session/session_loop.h"
#include "grafimo/ui_language.h"
#include "logger_options.h"
#include "service_watch.h"
#include "termination_signals.h"

#ifndef GRAFIMO_VERSION
#define GRAFIMO_VERSION "unknown"
#endif

namespace {

namespace fs = std::filesystem;
using grafimo::ConfigRead;

constexpr int kExitFault = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHeld = 3;

int usageError(const std::string& line)
{
    std::fprintf(stderr, "grafimo-logger: %s\n", line.c_str());
    return kExitUsage;
}

// Why grafimo.cfg cannot be polled from; empty when it can.
std::string configProblem(const fs::path& file, const ConfigRead& config)
{
    const std::string name = file.string();
    switch (config.status) {
    case ConfigRead::Status::Ok: return {};
    case ConfigRead::Status::Missing:
        return name + " not found (make it with the window, then copy it here)";
    case ConfigRead::Status::Unreadable:
        return "cannot read " + name + ": " + std::strerror(config.error);
    case ConfigRead::Status::TooLarge:
        return name + " is damaged: " + std::to_string(config.size) + " bytes, far more than any device list";
    case ConfigRead::Status::Empty:
        return name + " is empty: no port and no devices stored";
    case ConfigRead::Status::HeaderCutShort:
        return name + " is cut short: " + std::to_string(config.size) + " bytes, less than its 100-byte header";
    case ConfigRead::Status::BadPortName:
        return name + " is damaged: its port name is longer than 99 bytes";
    case ConfigRead::Status::RecordCutShort:
        return name + " is cut short: its last device record ends early";
    case ConfigRead::Status::NoDevices:
        return name + " lists no devices";
    case ConfigRead::Status::NoPort:
        return name + " stores no port (open one in the window first)";
    }
    return name + " cannot be used";
}

// Stderr reaches the journal (JOURNAL_STREAM names its device and inode): lines then carry
// their priority.
bool stderrIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (!stream || ::fstat(STDERR_FILENO, &st) != 0)
        return false;
    return std::string(stream) == std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Ends the run where retrying cannot help: the port name refused, or polling stopped by a
// fault (the manager then restarts the service).
class RunEnd final : public grafimo::session::SessionEvents {
public:
    explicit RunEnd(grafimo::session::SessionLoop& loop) : loop_(loop) {}
    void portOpenFailed(const grafimo::session::OpenFailure& failure) override
    {
        if (failure.refused)
            end(kExitUsage);
    }
    void pollingStopped(std::exception_ptr) override { end(kExitFault); }
    int status() const { return status_; }

private:
    void end(int status)
    {
        status_ = status;
        loop_.stop();
    }
    grafimo::session::SessionLoop& loop_;
    int status_ = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    using namespace grafimo;
    // Help and option errors speak the terminal's language; the event lines of a run stay
    // English, so that the journal holds one language.
    const bool russian = russianLocale();
    const logger::LoggerOptions options =
        logger::parseLoggerOptions(std::vector<std::string>(argv + 1, argv + argc), russian);
    switch (options.action) {
    case logger::LoggerOptions::Action::Help:
        std::fputs(logger::helpText(russian).c_str(), stdout);
        return 0;
    case logger::LoggerOptions::Action::Version:
        std::fputs(logger::versionText(GRAFIMO_VERSION, russian).c_str(), stdout);
        return 0;
    case logger::LoggerOptions::Action::Error:
        return usageError(options.error + " (" + logger::usageHint(russian) + ")");
    case logger::LoggerOptions::Action::Run:
        break;
    }

    // The broker's URL, prefix, password and CA file are checked before anything runs.
    const mqtt::MqttResolved mqttSettings = mqtt::resolveMqttArgs(options.mqtt, mqtt::systemMqttEnvironment(), russian);
    if (!mqttSettings.error.empty())
        return usageError(mqttSettings.error);

    // Before any other thread: every thread made later inherits the blocked signals.
    session::SessionLoop loop;
    logger::TerminationSignals signals([&loop](int) { loop.stop(); });

    std::error_code ec;
    const fs::path folder = fs::canonical(options.dir.empty() ? fs::current_path(ec) : fs::path(options.dir), ec);
    if (ec || !fs::is_directory(folder))
        return usageError("cannot use the folder " + (options.dir.empty() ? std::string(".") : options.dir) + ": " +
                          (ec ? ec.message() : "not a folder"));
    const fs::path configFile = folder / "grafimo.cfg";
    const ConfigRead config = readConfigOnly(configFile);
    if (const std::string problem = configProblem(configFile, config); !problem.empty())
        return usageError(problem);

    session::SessionOptions sessionOptions;
    sessionOptions.workingFolder = folder;
    if (!options.stateDir.empty()) {
        const fs::path base = fs::absolute(options.stateDir, ec);
        if (ec || !fs::is_directory(base))
            return usageError("cannot use the state folder " + options.stateDir + ": " +
                              (ec ? ec.message() : "not a folder"));
        sessionOptions.stateBase = base;
    } else if (std::string error; !platform::stateHome(&error)) {
        return usageError(error + "; give one with --state-dir DIR");
    }
    sessionOptions.reconnect = session::ReconnectPolicy::headless();

    std::vector<std::uint8_t> addresses;
    for (const DeviceRecord& d : config.devices)
        addresses.push_back(d.address);

    logger::EventLog eventLog(stderr, stderrIsJournal());
    platform::ServiceNotifier notifier;
    // Made once the history directory is known; they outlive the session that calls them.
    std::unique_ptr<mqtt::MqttPublisher> publisher;
    std::unique_ptr<mqtt::SessionPublisher> publisherFeed;
    session::BusSession session(loop, sessionOptions);
    logger::ServiceWatch watch(session, notifier, loop, addresses.size());
    RunEnd runEnd(loop);
    // Every part that follows the run hears the same events, in this order.
    std::vector<session::SessionEvents*> listeners{&eventLog, &watch, &runEnd};
    for (session::SessionEvents* listener : listeners)
        session.addListener(*listener);
    for (const std::string& warning : mqttSettings.warnings)
        eventLog.warning(warning);

    FileFault fault;
    if (!session.setUpHistory(&fault)) {
        eventLog.error("no history directory: " + describe(fault));
        return kExitFault;
    }
    // The publisher reads the history files the session writes, so it needs their folder;
    // it hears the session's samples and stops after the session's threads have ended.
    if (mqttSettings.settings) {
        std::vector<mqtt::ConfiguredDevice> devices;
        for (const DeviceRecord& d : config.devices)
            devices.push_back({d.address, d.description});
        mqtt::PublisherOptions publisherOptions =
            mqtt::sessionPublisherOptions(session, *mqttSettings.settings, devices);
        publisherOptions.log = [&eventLog](const std::string& line) { eventLog.notice(line); };
        publisher = std::make_unique<mqtt::MqttPublisher>(std::move(publisherOptions));
        publisherFeed = std::make_unique<mqtt::SessionPublisher>(*publisher);
        session.addListener(*publisherFeed);
    }
    std::string lockError;
    switch (session.lockFolder(&lockError)) {
    case platform::InstanceLock::State::Acquired: break;
    case platform::InstanceLock::State::HeldElsewhere:
        eventLog.error("already running in " + folder.string() + " (a window or another recorder); not started");
        return kExitHeld;
    case platform::InstanceLock::State::Failed:
        eventLog.error("cannot lock " + folder.string() + ": " + lockError);
        return kExitFault;
    }
    // A restart continues the run that left the files: same marker, same files appended to.
    session.markRun(true);
    session.setDevices(addresses);
    eventLog.started(folder.string(), config.portName, addresses, *session.historyDir());
    if (publisher) {
        eventLog.notice("MQTT: publishing to " + mqttSettings.settings->describe() + " under " +
                        mqttSettings.settings->prefix + "/");
        if (std::string error; !publisher->start(&error)) {
            eventLog.error("MQTT: cannot start the publisher: " + error);
            return kExitFault;
        }
    }

    session.open(config.portName);
    if (!loop.stopped()) {
        watch.ready();
        loop.run();
    }
    watch.stopping();
    session.close();
    if (publisher)
        publisher->stop();
    eventLog.stopped();
    return runEnd.status();
}

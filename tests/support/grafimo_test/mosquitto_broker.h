#pragma once
// A real Mosquitto broker for one test: its own configuration file, persistence folder,
// password file and TLS listener (a CA and a server certificate made with openssl), on free
// loopback ports. It can be stopped and started again on the same ports with what it kept.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "grafimo_test/program.h"

namespace grafimo::test {

// A loopback port nothing listens on now.
inline std::uint16_t freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

inline bool loopbackAccepts(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Runs a shell command line; true when it exits 0.
inline bool runShell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

// A certificate authority and a server certificate for 127.0.0.1 signed by it, plus a
// second CA that signed nothing of this broker's.
struct TestCertificates {
    std::filesystem::path caFile, serverCert, serverKey, otherCaFile;

    static TestCertificates make(const std::filesystem::path& dir)
    {
        TestCertificates c{dir / "ca.crt", dir / "server.crt", dir / "server.key", dir / "other-ca.crt"};
        const std::string d = dir.string();
        const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        std::ofstream(dir / "server.ext") << "subjectAltName=IP:127.0.0.1\n";
        const bool ok =
            runShell("cd '" + d + "' && openssl req -x509 " + ec +
                     " -keyout ca.key -out ca.crt -days 2 -subj /CN=grafimo-test-ca 2>/dev/null") &&
            runShell("cd '" + d + "' && openssl req " + ec +
                     " -keyout server.key -out server.csr -subj /CN=127.0.0.1 2>/dev/null") &&
            runShell("cd '" + d + "' && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
                     " -out server.crt -days 2 -extfile server.ext 2>/dev/null") &&
            runShell("cd '" + d + "' && openssl req -x509 " + ec +
                     " -keyout other-ca.key -out other-ca.crt -days 2 -subj /CN=grafimo-other-ca 2>/dev/null");
        if (!ok)
            c = {};
        return c;
    }
};

class MosquittoBroker {
public:
    struct Config {
        // Users must give this name and password (allow_anonymous off).
        std::string user;
        std::string password;
        bool tls = false;
    };

    MosquittoBroker(const std::filesystem::path& dir, Config config) : dir_(dir), config_(std::move(config))
    {
        std::filesystem::create_directories(dir_);
        port_ = freeLoopbackPort();
        if (config_.tls) {
            certs_ = TestCertificates::make(dir_);
            tlsPort_ = freeLoopbackPort();
        }
        std::filesystem::create_directories(dir_ / "persist");
        if (!config_.user.empty())
            setPassword(config_.password);
        writeConfig();
    }
    explicit MosquittoBroker(const std::filesystem::path& dir) : MosquittoBroker(dir, Config{}) {}
    ~MosquittoBroker() { stop(); }
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts (again) and waits until it takes connections.
    bool start()
    {
        stop();
        process_ = std::make_unique<Program>(Launch{"/usr/sbin/mosquitto", {"-c", (dir_ / "mosquitto.conf").string()},
                                                    dir_, dir_ / "mosquitto.out", {}, {}, {}, false});
        return waitUntil([&] { return !process_->running() ? true : loopbackAccepts(port_) &&
                                                                        (!tlsPort_ || loopbackAccepts(tlsPort_)); },
                         std::chrono::seconds(20)) &&
               process_->running();
    }

    // SIGTERM: the broker saves what it holds and ends.
    void stop()
    {
        if (process_ && process_->running()) {
            process_->signal(SIGTERM);
            process_->waitExit(std::chrono::seconds(20));
        }
        process_.reset();
    }
    // Freezes and thaws the broker: connections stay up but nothing answers.
    void pause() const { if (process_) process_->signal(SIGSTOP); }
    void resume() const { if (process_) process_->signal(SIGCONT); }

    // Changes the user's password; a running broker reads it again.
    void setPassword(const std::string& password)
    {
        runShell("mosquitto_passwd -b -c '" + (dir_ / "passwd").string() + "' '" + config_.user + "' '" + password +
                 "' >/dev/null 2>&1");
        if (process_ && process_->running())
            process_->signal(SIGHUP);
    }

    std::uint16_t port() const { return port_; }
    std::uint16_t tlsPort() const { return tlsPort_; }
    const TestCertificates& certificates() const { return certs_; }
    std::string log() const { return slurp(dir_ / "mosquitto.log"); }

private:
    void writeConfig()
    {
        std::ofstream c(dir_ / "mosquitto.conf");
        if (::geteuid() == 0)
            c << "user root\n";
        c << "per_listener_settings false\n"
          << "persistence true\n"
          << "persistence_location " << (dir_ / "persist").string() << "/\n"
          << "max_queued_messages 0\n"
          << "log_dest file " << (dir_ / "mosquitto.log").string() << "\n"
          << "log_type all\n";
        if (config_.user.empty()) {
            c << "allow_anonymous true\n";
        } else {
            c << "allow_anonymous false\n"
              << "password_file " << (dir_ / "passwd").string() << "\n";
        }
        c << "listener " << port_ << " 127.0.0.1\n";
        if (config_.tls)
            c << "listener " << tlsPort_ << " 127.0.0.1\n"
              << "cafile " << certs_.caFile.string() << "\n"
              << "certfile " << certs_.serverCert.string() << "\n"
              << "keyfile " << certs_.serverKey.string() << "\n";
    }

    std::filesystem::path dir_;
    Config config_;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
    TestCertificates certs_;
    std::unique_ptr<Program> process_;
};

} // namespace grafimo::test

// grafimo485: the windows of the RS-485 front end.

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Osnovnaya.h"
#include "export_progress.h"
#include "grafimo/command_line.h"
#include "grafimo/ui_language.h"
#include "grafimo/platform/dirs.h"
#include "grafimo/platform/work_dir.h"
#include "fault_text.h"
#include "message_box.h"

#ifndef GRAFIMO_VERSION
#define GRAFIMO_VERSION "unknown"
#endif

namespace {

// An exception that escapes an event handler is shown, and the program goes on, instead of
// unwinding through the event loop.
class Application final : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            grafimo::Application_MessageBox(QString::fromLocal8Bit(e.what()), applicationName(),
                                            grafimo::MB_OK | grafimo::MB_ICONSTOP);
        } catch (...) {
            grafimo::Application_MessageBox(QStringLiteral("Неизвестная ошибка."), applicationName(),
                                            grafimo::MB_OK | grafimo::MB_ICONSTOP);
        }
        return false;
    }
};

int signalFds[2] = {-1, -1};

constexpr char kCloseByte = 1;
constexpr char kRaiseByte = 2;

extern "C" void onTerminationSignal(int sig)
{
    const int saved = errno;
    const char byte = sig == SIGUSR1 ? kRaiseByte : kCloseByte;
    // Nothing else is safe here; the GUI thread does the closing.
    [[maybe_unused]] const auto n = ::write(signalFds[0], &byte, 1);
    errno = saved;
}

// SIGTERM, SIGHUP and SIGINT (logout, shutdown, Ctrl+C) end the program without asking: the
// byte written by the handler wakes the GUI thread, which stops any export, ends any modal
// dialog and closes the main window (threads ended, port closed). The history files and the
// run marker stay, so the next start offers the samples for saving. SIGUSR1, which copies
// before the instance socket sent to bring the running one forward, still does only that.
bool watchTerminationSignals(QObject* parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0)
        return false;
    auto* notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [] {
        char buffer[16];
        bool close = false;
        for (ssize_t n; (n = ::read(signalFds[1], buffer, sizeof buffer)) > 0;) {
            for (ssize_t i = 0; i < n; ++i)
                close = close || buffer[i] == kCloseByte;
        }
        if (!close) {
            if (grafimo::Form1 && !grafimo::Form1->closed()) {
                grafimo::Form1->showNormal();
                grafimo::Form1->raise();
                grafimo::Form1->activateWindow();
            }
            return;
        }
        grafimo::cancelExportsForExit();
        if (grafimo::Form1)
            grafimo::Form1->keepHistoryOnClose();
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget* w : windows) {
            if (w != grafimo::Form1 && w->isVisible() && w->isModal())
                w->close();
        }
        // An export under way stops at its next step and unwinds; the close follows it.
        if (grafimo::Form1 && !grafimo::Form1->exporting())
            grafimo::Form1->close();
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0
           && ::sigaction(SIGHUP, &action, nullptr) == 0 && ::sigaction(SIGUSR1, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    // Read before QApplication exists: --help and --version need no display. What goes to
    // the terminal speaks the locale's language; the windows speak Russian.
    const bool russian = grafimo::russianLocale();
    const grafimo::CommandLine options =
        grafimo::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), russian);
    switch (options.action) {
    case grafimo::CommandLine::Action::Help:
        std::fputs(grafimo::helpText(russian).c_str(), stdout);
        return 0;
    case grafimo::CommandLine::Action::Version:
        std::fputs(grafimo::versionText(GRAFIMO_VERSION, russian).c_str(), stdout);
        return 0;
    case grafimo::CommandLine::Action::Error:
        std::fprintf(stderr, russian ? "grafimo485: %s (см. «grafimo485 --help»)\n" : "grafimo485: %s (see 'grafimo485 --help')\n",
                     options.error.c_str());
        return 2;
    case grafimo::CommandLine::Action::Run:
        break;
    }
    // grafimo.cfg lives in the working folder; a start from the desktop menu (working
    // folder: home) keeps it in the user's data folder instead of loose in the home folder.
    std::string dirError;
    if (options.desktop) {
        const auto dir = grafimo::platform::desktopDataDir(&dirError);
        if (!dir || !grafimo::platform::enterDirectory(*dir, true, &dirError)) {
            std::fprintf(stderr, "grafimo485: %s\n", dirError.c_str());
            return 1;
        }
    } else if (!options.dir.empty() && !grafimo::platform::enterDirectory(options.dir, false, &dirError)) {
        std::fprintf(stderr, "grafimo485: %s\n", dirError.c_str());
        return 1;
    }

    Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("grafimo485"));

    // Qt's own Russian texts, so the message boxes' buttons read "Да", "Нет", "Отмена".
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);

    if (!watchTerminationSignals(&app)) {
        std::perror("grafimo485: signal handling");
        // A second copy's request to come forward must never end this one.
        ::signal(SIGUSR1, SIG_IGN);
    }

    // One copy per working folder: a second one would delete the history files the first
    // is writing. The lock is taken before the main window clears the history directory.
    std::optional<grafimo::platform::InstanceLock> instance;
    std::unique_ptr<QSocketNotifier> requests; // goes before the lock it reads
    if (const auto history = grafimo::platform::openHistoryDir()) {
        instance.emplace(*history);
        const QString folder = QDir::currentPath();
        switch (instance->state()) {
        case grafimo::platform::InstanceLock::State::Acquired:
            // A later start in this folder asks, through the private directory, for this
            // window to come forward; only a copy that runs answers, whatever its binary.
            if (instance->requestFd() >= 0) {
                requests = std::make_unique<QSocketNotifier>(instance->requestFd(), QSocketNotifier::Read);
                QObject::connect(requests.get(), &QSocketNotifier::activated, &app, [&instance] {
                    instance->answerRequests([] {
                        if (grafimo::Form1 && !grafimo::Form1->closed()) {
                            grafimo::Form1->showNormal();
                            grafimo::Form1->raise();
                            grafimo::Form1->activateWindow();
                        }
                    });
                });
            }
            break;
        case grafimo::platform::InstanceLock::State::HeldElsewhere: {
            const bool answered = instance->askHolderForward(std::chrono::seconds(2));
            if (russian)
                std::fprintf(stderr, "grafimo485: программа уже запущена в папке %s%s\n", qPrintable(folder),
                             answered ? "; её окно выведено на передний план" : "");
            else
                std::fprintf(stderr, "grafimo485: already running in %s%s\n", qPrintable(folder),
                             answered ? "; its window was brought forward" : "");
            std::fflush(stderr);
            grafimo::Application_MessageBox(
                QStringLiteral("Программа уже запущена в папке\n%1\n\n"
                               "Вторая копия в той же папке удалила бы файлы истории первой, поэтому она "
                               "не запускается. Перейдите к уже открытому окну.")
                    .arg(QDir::toNativeSeparators(folder)),
                QStringLiteral("Внимание!"), grafimo::MB_OK | grafimo::MB_ICONEXCLAMATION);
            return 3;
        }
        case grafimo::platform::InstanceLock::State::Failed:
            // Running unlocked could clear the history of a copy that holds the folder.
            std::fprintf(stderr, russian ? "grafimo485: не удалось занять папку %s: %s\n" : "grafimo485: cannot lock %s: %s\n",
                         qPrintable(folder), instance->error().c_str());
            std::fflush(stderr);
            grafimo::Application_MessageBox(
                QStringLiteral("Не удалось занять папку\n%1\n\n%2\n\n"
                               "Без этого вторая копия программы в той же папке могла бы удалить файлы "
                               "истории первой, поэтому программа не запускается.")
                    .arg(QDir::toNativeSeparators(folder), grafimo::faultText(instance->fault())),
                QStringLiteral("Ошибка!"), grafimo::MB_OK | grafimo::MB_ICONSTOP);
            return 1;
        }
    }
    // Without a history directory there is nothing of another copy to protect; the main
    // window reports that directory's problem itself.

    grafimo::createForms();
    grafimo::Form1->show();
    // A signal handled by a message box of the start-up has closed the window already.
    const int result = grafimo::Form1->closed() ? 0 : QApplication::exec();
    // A close that did not come through the window (the session ending) still ends the
    // threads; the history files stay, as the user was not asked.
    if (!grafimo::Form1->closed())
        grafimo::Form1->keepHistoryOnClose();
    grafimo::Form1->FormClose();
    grafimo::destroyForms();
    return result;
}

// The program's start as a command: --help and --version without any display, a wrong
// option refused, and a second start in a working folder that is already in use leaving
// the first copy's history files and configuration alone.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "e2e_support.h"
#include "grafimo_test/history_dir_rule.h"

using namespace grafimo::e2e;

namespace {

// One run of the program: its arguments, working directory and environment changes;
// stdout and stderr go to files.
struct ProgramRun : Program {
    ProgramRun(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& out,
        const std::vector<std::string>& dropEnv, const std::vector<std::string>& addEnv,
        const fs::path& exe = GRAFIMO485_EXE)
        : Program(grafimo::test::Launch{exe, args, cwd, out, out.string() + ".err", dropEnv, addEnv})
    {
    }
};

const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

TEST(Grafimo485Start, OptionsThatPrintAndExitNeedNoDisplay)
{
    TempDir work;
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string stdoutPart;
        std::string stderrPart;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "Usage: grafimo485", ""},
        {{"-h"}, 0, "--desktop", ""},
        {{"--version"}, 0, "grafimo485 " GRAFIMO_VERSION "\n", ""},
        {{"--bogus"}, 2, "", "grafimo485: unknown option '--bogus'"},
        {{"--dir"}, 2, "", "needs a folder"},
        {{"extra"}, 2, "", "unexpected argument 'extra'"},
        // A folder that is not there is reported, not made.
        {{"--dir", "/nonexistent-grafimo-folder"}, 1, "", "/nonexistent-grafimo-folder: No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        ProgramRun run(c.args, work.path(), work.path() / "out", kNoDisplay, {});
        const auto code = run.exitCode();
        ASSERT_TRUE(code) << "did not exit by itself\n" << run.err();
        EXPECT_EQ(*code, c.code) << run.err();
        const std::string out = run.out(), err = run.err();
        if (c.code == 0) {
            EXPECT_NE(out.find(c.stdoutPart), std::string::npos) << out;
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(out, "");
            EXPECT_NE(err.find(c.stderrPart), std::string::npos) << err;
            // One line.
            EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
        }
    }
    // Nothing was written into the folder but the captured output.
    EXPECT_FALSE(fs::exists(work.path() / "grafimo.cfg"));
}

TEST(Grafimo485Start, TerminalTextsSpeakTheLocalesLanguage)
{
    TempDir work;
    struct Case {
        std::vector<std::string> env;
        std::string exe;
        std::vector<std::string> args;
        std::string expected; // the start of stdout, or of stderr for a wrong option
    };
    const std::string app = GRAFIMO485_EXE, sim = GRAFIMO_SIM_EXE, logger = GRAFIMO_LOGGER_EXE;
    const std::vector<Case> cases = {
        {{}, app, {"--help"}, "Usage: grafimo485"},
        {{"LANG=ru_RU.UTF-8"}, app, {"--help"}, "Использование: grafimo485"},
        {{"LANG=ru_RU.UTF-8", "LC_ALL=C"}, app, {"--help"}, "Usage: grafimo485"},
        {{"LANG=en_US.UTF-8", "LC_MESSAGES=ru_RU.UTF-8"}, app, {"--help"}, "Использование: grafimo485"},
        {{"LC_ALL=ru_UA.UTF-8"}, app, {"--bogus"}, "grafimo485: неизвестный параметр «--bogus» (см. «grafimo485 --help»)"},
        {{"LANG=ru_RU.UTF-8"}, sim, {"--help"}, "Использование: grafimo-sim"},
        {{"LANG=ru_RU.UTF-8"}, sim, {"--bogus"}, "grafimo-sim: неизвестный параметр «--bogus»\nСм. «grafimo-sim --help»."},
        {{"LANG=de_DE.UTF-8"}, sim, {"--bogus"}, "grafimo-sim: unknown option '--bogus'"},
        {{}, logger, {"--help"}, "Usage: grafimo-logger"},
        {{"LANG=ru_RU.UTF-8"}, logger, {"--help"}, "Использование: grafimo-logger"},
        {{"LC_MESSAGES=ru_RU.UTF-8"}, logger, {"--dir"}, "grafimo-logger: для --dir нужно значение ПАПКА (см. «grafimo-logger --help»)"},
        {{"LANG=ru_RU.UTF-8", "LC_ALL=C.UTF-8"}, logger, {"--bogus"}, "grafimo-logger: unknown option '--bogus' (see 'grafimo-logger --help')"},
        // The publisher's options are checked after the command line is read, before polling.
        {{"LANG=ru_RU.UTF-8"}, logger, {"--mqtt", "http://broker"}, "grafimo-logger: --mqtt http://broker: ожидается mqtt://"},
        {{"LANG=ru_RU.UTF-8"}, logger, {"--mqtt-ha"}, "grafimo-logger: параметрам --mqtt-* нужен --mqtt URL"},
        {{}, logger, {"--mqtt", "mqtt://h", "--mqtt-topic", "a/#"}, "grafimo-logger: --mqtt-topic a/#: '+' and '#' are wildcards"},
    };
    std::vector<std::string> drop = kNoDisplay;
    drop.insert(drop.end(), {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"});
    for (const Case& c : cases) {
        SCOPED_TRACE((c.env.empty() ? std::string("-") : c.env.front()) + " " + c.exe + " " + c.args.front());
        ProgramRun run(c.args, work.path(), work.path() / "out", drop, c.env, c.exe);
        const auto code = run.exitCode();
        ASSERT_TRUE(code) << "did not exit by itself";
        const std::string text = *code == 0 ? run.out() : run.err();
        EXPECT_EQ(text.substr(0, c.expected.size()), c.expected) << text;
    }
}

TEST(Grafimo485Start, ASecondStartInTheSameFolderLeavesTheFirstAlone)
{
    TempDir work, runtime, elsewhere;
    ::chmod(runtime.path().c_str(), 0700);
    const fs::path history = grafimo::test::historyDirByRule(runtime.path(), work.path());
    const fs::path link = work.path() / "ttyBUS";
    grafimo::sim::PtyServer sim(simBus(link, {1, 2}));
    sim.start();
    writeConfig(work.path() / "grafimo.cfg", link.string(), {1, 2});
    const std::string configBefore = slurp(work.path() / "grafimo.cfg");
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + runtime.path().string()};
    const std::vector<std::string> drop = {"QT_QPA_PLATFORM", "XDG_STATE_HOME"};

    ProgramRun first({}, work.path(), elsewhere.path() / "first", drop, env);
    const fs::path file1 = history / grafimo::historyFileName(1);
    ASSERT_TRUE(waitUntil([&] { return sizeOf(file1) >= 2 * 16; })) << first.err();

    // The same folder named with --dir from somewhere else counts as the same folder.
    for (const bool byOption : {false, true}) {
        SCOPED_TRACE(byOption ? "--dir" : "working directory");
        ProgramRun second(byOption ? std::vector<std::string>{"--dir", work.path().string()} : std::vector<std::string>{},
                   byOption ? elsewhere.path() : work.path(), elsewhere.path() / (byOption ? "second-dir" : "second"), drop, env);
        // It says so and waits for the user to read its message; a SIGTERM answers that.
        ASSERT_TRUE(waitUntil([&] { return second.err().find("already running") != std::string::npos || second.ended(); }))
            << second.err();
        EXPECT_NE(second.err().find(work.path().string()), std::string::npos) << second.err();
        second.signal(SIGTERM);
        const auto code = second.exitCode();
        ASSERT_TRUE(code) << second.describe() << "\n" << second.err();
        EXPECT_EQ(*code, 3);
    }

    // The first copy's samples are all still there and still growing; its configuration
    // is the same bytes.
    EXPECT_FALSE(first.ended());
    const auto size = sizeOf(file1);
    EXPECT_GE(size, 2u * 16);
    ASSERT_TRUE(waitUntil([&] { return sizeOf(file1) > size; })) << "history file was lost";
    EXPECT_EQ(slurp(work.path() / "grafimo.cfg"), configBefore);
    EXPECT_FALSE(fs::exists(elsewhere.path() / "grafimo.cfg"));

    first.signal(SIGTERM);
    const auto code = first.exitCode();
    ASSERT_TRUE(code) << first.err();
    EXPECT_EQ(*code, 0);
    sim.stop();
}

TEST(Grafimo485Start, ASecondStartAfterAnUpgradeBringsTheRunningCopyForward)
{
    // The package was upgraded while the first copy ran: its binary is gone from under it
    // (/proc/<pid>/exe ends in " (deleted)"), and the second copy is the new binary.
    TempDir work, state, bin, elsewhere;
    ::chmod(state.path().c_str(), 0700);
    const fs::path exe = bin.path() / "grafimo485";
    fs::copy_file(GRAFIMO485_EXE, exe);
    const fs::path link = work.path() / "ttyBUS";
    grafimo::sim::PtyServer sim(simBus(link, {1}));
    sim.start();
    writeConfig(work.path() / "grafimo.cfg", link.string(), {1});
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + state.path().string()};
    const std::vector<std::string> drop = {"QT_QPA_PLATFORM", "XDG_STATE_HOME"};

    ProgramRun first({}, work.path(), elsewhere.path() / "first", drop, env, exe);
    const fs::path file1 = grafimo::test::historyDirByRule(state.path(), work.path()) / grafimo::historyFileName(1);
    ASSERT_TRUE(waitUntil([&] { return sizeOf(file1) >= 2 * 16; })) << first.err();
    fs::copy_file(GRAFIMO485_EXE, bin.path() / "grafimo485.new");
    fs::rename(bin.path() / "grafimo485.new", exe);
    char running[4096] = {};
    ASSERT_GT(::readlink(("/proc/" + std::to_string(first.pid()) + "/exe").c_str(), running, sizeof running - 1), 0);
    ASSERT_TRUE(std::string(running).ends_with(" (deleted)")) << running;

    ProgramRun second({}, work.path(), elsewhere.path() / "second", drop, env, exe);
    ASSERT_TRUE(waitUntil([&] { return second.err().find("already running") != std::string::npos || second.ended(); }))
        << second.err();
    EXPECT_NE(second.err().find("its window was brought forward"), std::string::npos) << second.err();
    second.signal(SIGTERM);
    EXPECT_EQ(second.exitCode(), std::optional<int>(3)) << second.describe();

    EXPECT_FALSE(first.ended()) << first.describe();
    first.signal(SIGTERM);
    EXPECT_EQ(first.exitCode(), std::optional<int>(0)) << first.err();
    sim.stop();
}

TEST(Grafimo485Start, AFolderThatCannotBeLockedIsRefusedAndTheHistoryInItKept)
{
    TempDir work, state, elsewhere;
    const fs::path history = grafimo::test::historyDirByRule(state.path(), work.path());
    fs::create_directories(history);
    for (const fs::path& level : {state.path(), history.parent_path().parent_path(), history.parent_path()})
        ::chmod(level.c_str(), 0700);
    // instance.lock cannot be opened as a file; the samples beside it may be another copy's.
    fs::create_directory(history / "instance.lock");
    const fs::path file1 = history / grafimo::historyFileName(1);
    std::ofstream(file1, std::ios::binary) << std::string(32, '\x01');
    writeConfig(work.path() / "grafimo.cfg", "NULL", {1});
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + state.path().string()};
    const std::vector<std::string> drop = {"QT_QPA_PLATFORM", "XDG_STATE_HOME"};

    ProgramRun run({}, work.path(), elsewhere.path() / "run", drop, env);
    ASSERT_TRUE(waitUntil([&] {
        return run.err().find("cannot lock") != std::string::npos || run.ended() || !fs::exists(file1);
    })) << run.err();
    EXPECT_NE(run.err().find("instance.lock"), std::string::npos) << run.err();
    // It waits for the user to read why; a SIGTERM answers that.
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitCode(), std::optional<int>(1)) << run.describe() << "\n" << run.err();
    EXPECT_EQ(sizeOf(file1), 32u);
}

} // namespace

namespace {

TEST(Grafimo485Start, FromTheDesktopMenuTheConfigurationGoesToTheDataFolder)
{
    TempDir home, runtime;
    ::chmod(runtime.path().c_str(), 0700);
    const std::vector<std::string> drop = {"QT_QPA_PLATFORM", "XDG_STATE_HOME", "HOME", "XDG_DATA_HOME"};
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + runtime.path().string(),
                                          "HOME=" + home.path().string()};
    const fs::path dataDir = home.path() / ".local" / "share" / "grafimo485";
    // The menu starts it in the home folder. With no grafimo.cfg yet the program makes one
    // (and says so in a box): it must land in the data folder, created on this first start.
    {
        ProgramRun run({"--desktop"}, home.path(), runtime.path() / "desktop", drop, env);
        ASSERT_TRUE(waitUntil([&] { return fs::exists(dataDir / "grafimo.cfg") || run.ended(); })) << run.err();
        ASSERT_TRUE(fs::exists(dataDir / "grafimo.cfg")) << run.describe() << "\n" << run.err();
        run.signal(SIGTERM);
        EXPECT_EQ(run.exitCode(), std::optional<int>(0)) << run.err();
    }
    EXPECT_FALSE(fs::exists(home.path() / "grafimo.cfg"));
    struct stat st {};
    ASSERT_EQ(::stat(dataDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

} // namespace

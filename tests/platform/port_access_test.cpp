// What the user is told about a port that exists but cannot be opened: the owning group
// and the command that grants access, or that another program holds the port. The real
// case is run as an unprivileged user against a device it may not open.

#include "grafimo/platform/port_access.h"
#include "grafimo/platform/serial_port.h"

#include "pty_pair.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace grafimo {
namespace {

using platform::portAccessAdvice;
using platform::SerialPort;
using testing::PtyPair;

std::string groupName(gid_t gid)
{
    const group* g = ::getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

TEST(PortAccessAdvice, TextsByError)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    struct stat st {};
    ASSERT_EQ(::stat(pty.slavePath().c_str(), &st), 0);
    const std::string group = groupName(st.st_gid);

    struct Case {
        int error;
        std::vector<std::string> parts; // empty: no advice at all
    };
    const std::vector<Case> cases = {
        {EACCES, {pty.slavePath(), "группе " + group, "sudo usermod -aG " + group + " $USER", "войдите в систему заново"}},
        {EPERM, {"sudo usermod -aG " + group + " $USER"}},
        {EBUSY, {pty.slavePath(), "занят другой программой"}},
        {EWOULDBLOCK, {"занят другой программой"}},
        {ENOENT, {}},
        {EIO, {}},
        {0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const std::string text = portAccessAdvice(pty.slavePath(), c.error);
        if (c.parts.empty()) {
            EXPECT_EQ(text, "");
        }
        for (const std::string& part : c.parts)
            EXPECT_NE(text.find(part), std::string::npos) << part << "\nin: " << text;
    }
    // A device that vanished meanwhile: no group to name, still no wrong command.
    const std::string gone = portAccessAdvice("/dev/does-not-exist", EACCES);
    EXPECT_NE(gone.find("Нет прав"), std::string::npos);
    EXPECT_EQ(gone.find("usermod"), std::string::npos);
}

TEST(PortAccessAdvice, APortHeldByAnotherProgramIsBusy)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort first;
    ASSERT_EQ(first.open(pty.slavePath()), SerialPort::OpenStep::Ok);
    EXPECT_EQ(first.openErrno(), 0);
    SerialPort second;
    EXPECT_EQ(second.open(pty.slavePath()), SerialPort::OpenStep::OpenFailed);
    const int error = second.openErrno();
    EXPECT_TRUE(error == EWOULDBLOCK || error == EBUSY) << error;
    EXPECT_NE(portAccessAdvice(pty.slavePath(), error).find("занят"), std::string::npos);
    // Once the first lets go, the same port opens and the error is cleared.
    first.close();
    EXPECT_EQ(second.open(pty.slavePath()), SerialPort::OpenStep::Ok);
    EXPECT_EQ(second.openErrno(), 0);
}

TEST(PortAccessAdvice, AnUnprivilegedUserIsToldWhichGroupToJoin)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string path = pty.slavePath();
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    std::string expectedGroup;
    if (uid == 0) {
        // Root opens anything: the open is made by the unprivileged 'nobody' against a
        // terminal that belongs to root and a group nobody is not in.
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody)
            GTEST_SKIP() << "running as root and there is no user 'nobody' to drop to";
        const group* dialout = ::getgrnam("dialout");
        const gid_t owner = dialout ? dialout->gr_gid : 0;
        ASSERT_EQ(::chown(path.c_str(), 0, owner), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
        expectedGroup = groupName(owner);
    } else {
        // Not root: our own terminal is always ours, so the check needs a device that is
        // not; none can be made without privileges.
        GTEST_SKIP() << "needs root to make a device node this user may not open";
    }

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        int result[2] = {-1, -1};
        if (::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0) {
            SerialPort port;
            result[0] = static_cast<int>(port.open(path));
            result[1] = port.openErrno();
        }
        [[maybe_unused]] const auto n = ::write(pipeFds[1], result, sizeof result);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    int result[2] = {-1, -1};
    const auto got = ::read(pipeFds[0], result, sizeof result);
    ::close(pipeFds[0]);
    ::waitpid(child, nullptr, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof result));
    ASSERT_NE(result[0], -1) << "could not drop privileges";
    // The status bar keeps its text for a failed open; the errno says why.
    EXPECT_EQ(static_cast<SerialPort::OpenStep>(result[0]), SerialPort::OpenStep::OpenFailed);
    EXPECT_EQ(result[1], EACCES);
    const std::string advice = portAccessAdvice(path, result[1]);
    EXPECT_NE(advice.find("sudo usermod -aG " + expectedGroup + " $USER"), std::string::npos) << advice;
}

} // namespace
} // namespace grafimo

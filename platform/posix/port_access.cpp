#include "grafimo/platform/port_access.h"

#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace grafimo::platform {

namespace {

// Name of the group owning the device (links followed); empty when unknown.
std::string owningGroup(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    group entry {};
    group* found = nullptr;
    while (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found && found->gr_name ? std::string(found->gr_name) : std::to_string(st.st_gid);
}

} // namespace

std::string portAccessAdvice(const std::string& path, int openErrno)
{
    if (openErrno == EACCES || openErrno == EPERM) {
        const std::string group = owningGroup(path);
        if (group.empty())
            return "Нет прав на открытие порта " + path + ".";
        return "Нет прав на открытие порта " + path + ".\n\n"
               "Устройство принадлежит группе " + group + ". Чтобы получить к нему доступ, "
               "добавьте себя в эту группу командой\n\n"
               "    sudo usermod -aG " + group + " $USER\n\n"
               "и войдите в систему заново: новая группа действует только после нового входа.";
    }
    if (openErrno == EBUSY || openErrno == EWOULDBLOCK)
        return "Порт " + path + " занят другой программой. Закройте её и откройте порт снова.";
    return {};
}

} // namespace grafimo::platform

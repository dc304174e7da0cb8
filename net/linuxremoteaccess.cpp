#include "net/linuxremoteaccess.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

template <std::size_t N> void copyName(char (&target)[N], const std::string& name)
{
    std::memset(target, 0, N);
    std::memcpy(target, name.data(), std::min(name.size(), N - 1));
}

bool isDialUp(const LinuxRemoteAccess::Link& link)
{
    return (link.flags & IFF_POINTOPOINT) != 0;
}

bool isConnected(const LinuxRemoteAccess::Link& link)
{
    constexpr unsigned upAndRunning = IFF_UP | IFF_RUNNING;
    return (link.flags & upAndRunning) == upAndRunning;
}

} // namespace

std::unique_ptr<LinuxRemoteAccess> LinuxRemoteAccess::open(const std::string& sysNetDir)
{
    std::error_code error;
    if (!std::filesystem::is_directory(sysNetDir, error) ||
        ::access(sysNetDir.c_str(), R_OK | X_OK) != 0)
        return nullptr;
    return std::make_unique<LinuxRemoteAccess>(&LinuxRemoteAccess::systemLinks);
}

std::optional<std::vector<LinuxRemoteAccess::Link>> LinuxRemoteAccess::systemLinks()
{
    // The flags come from SIOCGIFFLAGS because only it (not sysfs) reports IFF_RUNNING.
    const int socketFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return std::nullopt;
    const std::unique_ptr<const int, void (*)(const int*)> socketCloser(
        &socketFd, [](const int* fd) { ::close(*fd); });
    const std::unique_ptr<struct if_nameindex, void (*)(struct if_nameindex*)> names(
        ::if_nameindex(), ::if_freenameindex);
    if (!names)
        return std::nullopt;

    std::vector<Link> links;
    for (const struct if_nameindex* entry = names.get(); entry->if_index != 0 && entry->if_name;
         ++entry) {
        ifreq request{};
        std::strncpy(request.ifr_name, entry->if_name, IFNAMSIZ - 1);
        // A link that vanished since the listing is simply left out.
        if (::ioctl(socketFd, SIOCGIFFLAGS, &request) != 0)
            continue;
        links.push_back(
            Link{entry->if_index, entry->if_name, static_cast<unsigned short>(request.ifr_flags)});
    }
    return links;
}

LinuxRemoteAccess::LinuxRemoteAccess(LinkLister lister) : m_lister(std::move(lister)) {}

std::optional<std::vector<LinuxRemoteAccess::Link>> LinuxRemoteAccess::dialUpLinks() const
{
    std::optional<std::vector<Link>> links = m_lister ? m_lister() : std::nullopt;
    if (links)
        std::erase_if(*links, [](const Link& link) { return !isDialUp(link); });
    return links;
}

std::uint32_t LinuxRemoteAccess::RasEnumConnectionsA(RASCONN* entry0, std::uint32_t* byteCount,
                                                     std::uint32_t* connectionCount)
{
    if (!entry0 || !byteCount || !connectionCount)
        return RAS_ERROR_INVALID_PARAMETER;
    if (*byteCount >= sizeof(entry0->dwSize) && entry0->dwSize != sizeof(RASCONN))
        return RAS_ERROR_INVALID_SIZE;
    *connectionCount = 0;
    const std::optional<std::vector<Link>> links = dialUpLinks();
    if (!links)
        return RAS_ERROR_OPEN_FAILED;

    const std::size_t fitting = std::min<std::size_t>(*byteCount / sizeof(RASCONN), links->size());
    for (std::size_t i = 0; i < fitting; ++i) {
        RASCONN entry{};
        entry.dwSize = sizeof(RASCONN);
        entry.hrasconn = (*links)[i].index;
        copyName(entry.szEntryName, (*links)[i].name);
        copyName(entry.szDeviceName, (*links)[i].name);
        entry0[i] = entry;
    }
    *connectionCount = static_cast<std::uint32_t>(fitting);
    *byteCount = static_cast<std::uint32_t>(links->size() * sizeof(RASCONN));
    return fitting < links->size() ? RAS_ERROR_BUFFER_TOO_SMALL : RAS_SUCCESS;
}

std::uint32_t LinuxRemoteAccess::RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUS* status)
{
    if (!status)
        return RAS_ERROR_INVALID_PARAMETER;
    if (status->dwSize != sizeof(RASCONNSTATUS))
        return RAS_ERROR_INVALID_SIZE;
    const std::optional<std::vector<Link>> links = dialUpLinks();
    if (!links)
        return RAS_ERROR_OPEN_FAILED;
    const auto link = std::find_if(links->begin(), links->end(), [handle](const Link& candidate) {
        return candidate.index == handle;
    });
    if (link == links->end())
        return RAS_ERROR_INVALID_HANDLE;
    status->rasconnstate = isConnected(*link) ? RASCS_Connected : RASCS_Disconnected;
    status->dwError = 0;
    copyName(status->szDeviceType, std::string());
    copyName(status->szDeviceName, link->name);
    return RAS_SUCCESS;
}

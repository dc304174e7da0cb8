#pragma once

#include "net/remoteaccess.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The remote-access service on Linux: the point-to-point network links (ppp0 and the like) are
// the dial-up connections, listed in the order the system gives them, and one that is up and
// running is connected. A connection's handle is its link's interface index.
class LinuxRemoteAccess final : public RemoteAccessService
{
public:
    struct Link
    {
        std::uint32_t index = 0;
        std::string name;
        unsigned flags = 0; // IFF_* as the kernel reports them, IFF_RUNNING included
    };
    // Gives the system's links, or nothing when they cannot be read.
    using LinkLister = std::function<std::optional<std::vector<Link>>()>;

    // Null when the system's network links cannot be read at all.
    static std::unique_ptr<LinuxRemoteAccess> open(const std::string& sysNetDir = "/sys/class/net");
    static std::optional<std::vector<Link>> systemLinks();

    explicit LinuxRemoteAccess(LinkLister lister);

    std::uint32_t RasEnumConnectionsA(RASCONN* entry0, std::uint32_t* byteCount,
                                      std::uint32_t* connectionCount) override;
    std::uint32_t RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUS* status) override;

private:
    std::optional<std::vector<Link>> dialUpLinks() const;

    LinkLister m_lister;
};

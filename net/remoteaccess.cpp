#include "net/remoteaccess.h"

#include "net/linuxremoteaccess.h"

#include <utility>

RemoteAccessBinding::RemoteAccessBinding()
    : RemoteAccessBinding(
          []() -> std::unique_ptr<RemoteAccessService> { return LinuxRemoteAccess::open(); })
{}

RemoteAccessBinding::RemoteAccessBinding(Resolver resolver) : m_resolver(std::move(resolver)) {}

RemoteAccessBinding::~RemoteAccessBinding() = default;

RemoteAccessService& RemoteAccessBinding::service()
{
    if (!m_service) {
        if (m_resolver)
            m_service = m_resolver();
        if (!m_service)
            throw RemoteAccessUnavailable("the remote-access service is not available");
    }
    return *m_service;
}

std::uint32_t RemoteAccessBinding::RasEnumConnectionsA(RASCONN* entry0, std::uint32_t* byteCount,
                                                       std::uint32_t* connectionCount)
{
    return service().RasEnumConnectionsA(entry0, byteCount, connectionCount);
}

std::uint32_t RemoteAccessBinding::RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUS* status)
{
    return service().RasGetConnectStatusA(handle, status);
}

#pragma once

#include "net/remoteaccess.h"

#include <cstdint>
#include <vector>

// A scripted remote-access service that records how it was called.
class FakeRemoteAccess final : public RemoteAccessService
{
public:
    struct Connection
    {
        HRASCONN handle = 0;
        std::uint32_t state = RASCS_Disconnected;
    };
    struct EnumCall
    {
        std::uint32_t byteCount = 0;  // as passed in
        std::uint32_t entry0Size = 0; // entry 0's dwSize as passed in
        bool bufferZeroed = false;    // every passed byte but entry 0's dwSize was zero
    };
    struct StatusQuery
    {
        HRASCONN handle = 0;
        std::uint32_t dwSize = 0;
    };

    explicit FakeRemoteAccess(std::vector<Connection> connections = {});

    // The status query answers RAS_ERROR_INVALID_HANDLE and fills nothing.
    void setStatusFails(bool fails) { m_statusFails = fails; }
    // The enumeration answers this code, whatever it lists.
    void setEnumCode(std::uint32_t code) { m_enumCode = code; }

    const std::vector<EnumCall>& enumCalls() const { return m_enumCalls; }
    const std::vector<StatusQuery>& statusQueries() const { return m_statusQueries; }

    std::uint32_t RasEnumConnectionsA(RASCONN* entry0, std::uint32_t* byteCount,
                                      std::uint32_t* connectionCount) override;
    std::uint32_t RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUS* status) override;

private:
    std::vector<Connection> m_connections;
    bool m_statusFails = false;
    std::uint32_t m_enumCode = RAS_SUCCESS;
    std::vector<EnumCall> m_enumCalls;
    std::vector<StatusQuery> m_statusQueries;
};

#include "tests/support/fakeremoteaccess.h"

#include <algorithm>
#include <cstddef>
#include <utility>

FakeRemoteAccess::FakeRemoteAccess(std::vector<Connection> connections)
    : m_connections(std::move(connections))
{}

std::uint32_t FakeRemoteAccess::RasEnumConnectionsA(RASCONN* entry0, std::uint32_t* byteCount,
                                                    std::uint32_t* connectionCount)
{
    EnumCall call;
    call.byteCount = *byteCount;
    call.entry0Size = entry0->dwSize;
    // Reads every byte the caller offered, so a byte count larger than the buffer shows up
    // under the address sanitizer.
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry0);
    call.bufferZeroed = std::all_of(bytes + sizeof(entry0->dwSize), bytes + *byteCount,
                                    [](unsigned char b) { return b == 0; });
    m_enumCalls.push_back(call);

    const std::size_t fitting =
        std::min<std::size_t>(*byteCount / sizeof(RASCONN), m_connections.size());
    for (std::size_t i = 0; i < fitting; ++i) {
        entry0[i].dwSize = sizeof(RASCONN);
        entry0[i].hrasconn = m_connections[i].handle;
    }
    *connectionCount = static_cast<std::uint32_t>(fitting);
    *byteCount = static_cast<std::uint32_t>(m_connections.size() * sizeof(RASCONN));
    return m_enumCode;
}

std::uint32_t FakeRemoteAccess::RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUS* status)
{
    m_statusQueries.push_back(StatusQuery{handle, status->dwSize});
    const auto found = std::find_if(
        m_connections.begin(), m_connections.end(),
        [handle](const Connection& connection) { return connection.handle == handle; });
    if (m_statusFails || found == m_connections.end())
        return RAS_ERROR_INVALID_HANDLE;
    status->rasconnstate = found->state;
    return RAS_SUCCESS;
}

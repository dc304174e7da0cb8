#include "net/dialupstatus.h"

#include "net/remoteaccess.h"

#include <cstdint>
#include <memory>

bool DFÜStatus(RemoteAccessBinding& ras)
{
    constexpr std::uint32_t entryCount = 256;
    // Value-initialised, so every entry starts zeroed.
    const auto connections = std::make_unique<RASCONN[]>(entryCount);
    connections[0].dwSize = sizeof(RASCONN);
    bool result = false;
    std::uint32_t connectionCount = 0;

    std::uint32_t byteCount = connections[0].dwSize * entryCount;
    // The return code tells nothing the count does not: with no count there is nothing to ask.
    ras.RasEnumConnectionsA(&connections[0], &byteCount, &connectionCount);
    if (connectionCount == 0)
        return result;

    RASCONNSTATUS status{};
    status.dwSize = sizeof(RASCONNSTATUS);
    // A failed query leaves the zeroed state, which reads as not connected.
    ras.RasGetConnectStatusA(connections[0].hrasconn, &status);
    result = status.rasconnstate == RASCS_Connected;
    return result;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// The program's remote-access (dial-up) layer. The records and calls keep the shape of the
// Windows RAS interface the program was designed around, so the dial-up check reads the same on
// every system; a backend decides what counts as a dial-up connection.

using HRASCONN = std::uint32_t;

inline constexpr std::uint32_t RASCS_Connected = 0x2000;
inline constexpr std::uint32_t RASCS_Disconnected = 0x2001;

// Return codes of the calls, with their Windows values.
inline constexpr std::uint32_t RAS_SUCCESS = 0;
inline constexpr std::uint32_t RAS_ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t RAS_ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t RAS_ERROR_OPEN_FAILED = 110;
inline constexpr std::uint32_t RAS_ERROR_BUFFER_TOO_SMALL = 603;
inline constexpr std::uint32_t RAS_ERROR_INVALID_SIZE = 632;

inline constexpr std::size_t RAS_MaxEntryName = 256;
inline constexpr std::size_t RAS_MaxDeviceType = 16;
inline constexpr std::size_t RAS_MaxDeviceName = 128;

struct RASCONN
{
    std::uint32_t dwSize;
    HRASCONN hrasconn;
    char szEntryName[RAS_MaxEntryName + 1];
    char szDeviceType[RAS_MaxDeviceType + 1];
    char szDeviceName[RAS_MaxDeviceName + 1];
};
static_assert(sizeof(RASCONN) == 412);
static_assert(offsetof(RASCONN, dwSize) == 0 && offsetof(RASCONN, hrasconn) == 4);

struct RASCONNSTATUS
{
    std::uint32_t dwSize;
    std::uint32_t rasconnstate;
    std::uint32_t dwError;
    char szDeviceType[RAS_MaxDeviceType + 1];
    char szDeviceName[RAS_MaxDeviceName + 1];
};
static_assert(sizeof(RASCONNSTATUS) == 160);
static_assert(offsetof(RASCONNSTATUS, dwSize) == 0 && offsetof(RASCONNSTATUS, rasconnstate) == 4);

// A remote-access service: lists the active dial-up connections and tells their state.
class RemoteAccessService
{
public:
    virtual ~RemoteAccessService() = default;

    // Puts the handles of the active connections, in order, into the entries starting at entry0
    // (whose dwSize must be sizeof(RASCONN)), never writing past *byteCount bytes. Sets
    // *connectionCount to the number of entries written. If not all fit, returns
    // RAS_ERROR_BUFFER_TOO_SMALL and sets *byteCount to the size needed.
    virtual std::uint32_t RasEnumConnectionsA(RASCONN* entry0, std::uint32_t* byteCount,
                                              std::uint32_t* connectionCount) = 0;

    // Fills *status (whose dwSize must be sizeof(RASCONNSTATUS)) for the connection with that
    // handle. An unknown handle gives RAS_ERROR_INVALID_HANDLE and leaves *status alone.
    virtual std::uint32_t RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUS* status) = 0;

protected:
    RemoteAccessService() = default;
    RemoteAccessService(const RemoteAccessService&) = default;
    RemoteAccessService& operator=(const RemoteAccessService&) = default;
};

// The remote-access layer cannot be bound: no service is available on this system.
class RemoteAccessUnavailable final : public std::runtime_error
{
public:
    explicit RemoteAccessUnavailable(const std::string& what) : std::runtime_error(what) {}
};

// Binds the remote-access layer on its first call, not at program start, so a system without
// it only fails when the dial-up check is actually made. A failed binding is tried again on the
// next call.
class RemoteAccessBinding final
{
public:
    // Gives the service, or null (or throws RemoteAccessUnavailable) when there is none.
    using Resolver = std::function<std::unique_ptr<RemoteAccessService>()>;

    // Binds to this system's backend.
    RemoteAccessBinding();
    explicit RemoteAccessBinding(Resolver resolver);
    ~RemoteAccessBinding();
    RemoteAccessBinding(const RemoteAccessBinding&) = delete;
    RemoteAccessBinding& operator=(const RemoteAccessBinding&) = delete;

    bool isBound() const { return m_service != nullptr; }

    // Both throw RemoteAccessUnavailable when the layer cannot be bound.
    std::uint32_t RasEnumConnectionsA(RASCONN* entry0, std::uint32_t* byteCount,
                                      std::uint32_t* connectionCount);
    std::uint32_t RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUS* status);

private:
    RemoteAccessService& service();

    Resolver m_resolver;
    std::unique_ptr<RemoteAccessService> m_service;
};

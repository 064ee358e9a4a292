// The binary interface between VORNBAR.exe and VORNPLUG.dll: the one declaration of the
// plug-in that both sides compile. VORNPLUG.dll exports the class VORNPLUG, which is opened
// once on a host, asked once per poll to fill an LMDATA record, and closed at exit.
//
// Frozen. The bar holds a VORNPLUG by value and calls its members through the DLL's export
// table, so the class layouts below (checked by the static_asserts at the end for the 32-bit
// build), the mangled names of the members and the record LMDATA are a contract with every
// VORNPLUG.dll that may sit next to the program: a changed member, size or order breaks a
// bar and a plug-in built apart. The executable also exports the member-wise copy
// assignments of the three classes (vornbar_exports.cpp, linked into VORNBAR.exe only):
// nothing here calls them, but they belong to the program's published export table, which
// stays as it is so that whatever links against it keeps linking. Add nothing here that
// changes a layout or a mangled name.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#if defined(VORNPLUG_BUILDING_DLL)
#define VORNPLUG_API __declspec(dllexport)
#else
#define VORNPLUG_API __declspec(dllimport)
#endif
#else
#define VORNPLUG_API
#endif

enum { LMDATA_FIELDS = 13, LMDATA_FIELD_SIZE = 8 };

// Record order of the fields.
enum LmField {
    LM_CPU,
    LM_PWR,
    LM_SYS,
    LM_VID,
    LM_VTT,
    LM_V33,
    LM_VP5,
    LM_VM5,
    LM_VP12,
    LM_VM12,
    LM_FAN1,
    LM_FAN2,
    LM_FAN3
};

// One poll's readings: thirteen short texts, each NUL-terminated within its 8 bytes.
struct LMDATA {
    char szText[LMDATA_FIELDS][LMDATA_FIELD_SIZE];
};
static_assert(sizeof(LMDATA) == 104, "LMDATA is 13 fields of 8 bytes");

// The socket library as the plug-in holds it: the start-up record of the Windows socket
// library and the host text the plug-in was opened on. Natively there is nothing to start.
class VORNPLUG_API SOCKLIB {
public:
    // Nothing started, no host.
    SOCKLIB();
    // Starts the socket library (Winsock 2.2) unless this object already did; non-zero when
    // sockets can be used.
    int Startup();
    // Ends what Startup started; harmless when it started nothing.
    void Cleanup();
    // Non-zero between a successful Startup and Cleanup.
    int IsStarted() const;
    // Keeps a copy of the host text; 0 (and no host kept) when it is null or does not fit.
    int SetHost(const char* host);
    // The host text kept by SetHost, or "".
    const char* GetHost() const;

private:
    // WSADATA as WSAStartup filled it; its version word is 0 while nothing is started.
    alignas(4) unsigned char m_abStartup[400];
    char m_szHost[256];
};

// The plug-in's UDP client: a socket connected to the agent, the request now outstanding,
// and a loopback socket that wakes a waiting Query when Cancel is called.
// Threading: Connect, Query and Close run on one thread at a time; Cancel may run on any thread
// at any time except during Close (the descriptors it writes to must still exist).
class VORNPLUG_API UDPCSock {
public:
    // Closed, not cancelled.
    UDPCSock();
    // Parses the host text, resolves it and opens the connected socket and the wake-up socket;
    // non-zero on success. An open socket is closed first.
    int Connect(const char* host);
    // Sends one request and waits up to timeout ms for its reply; non-zero, with data filled,
    // for readings. data is left untouched on failure.
    int Query(LMDATA& data, unsigned int timeout);
    // Makes a Query in progress return 0 promptly and every later Query return 0 at once.
    void Cancel();
    // Closes both sockets; harmless when they are closed.
    void Close();
    // Non-zero between a successful Connect and Close.
    int IsOpen() const;

private:
    std::intptr_t m_hSocket;      // connected to the agent; -1 when closed or dropped after a
                                  // failed Query (the next Query opens a new one to m_abPeer)
    std::intptr_t m_hWake;        // loopback socket Cancel writes to; -1 when closed
    unsigned char m_abPeer[32];   // the agent's address: a sockaddr_in or sockaddr_in6
    std::uint32_t m_nPeerLen;     // bytes of m_abPeer in use; 0 while not connected
    std::uint32_t m_dwRequestId;  // id of the request now outstanding
    std::uint32_t m_dwDropped;    // datagrams dropped as not the awaited reply, for diagnosis
    int m_nLastError;             // the socket error that ended the last failed Query, or 0
    int m_bOutstanding;           // m_dwRequestId belongs to a request that was sent
    int m_bCancelled;             // set once by Cancel; only touched with atomic builtins
};

// The sensor plug-in: opened once on a host, asked once per poll, closed at exit.
// Copies are plain copies of handles: never destroy two copies of an open plug-in.
class VORNPLUG_API VORNPLUG {
public:
    VORNPLUG();
    // Calls Destroy.
    ~VORNPLUG();
    // Opens the plug-in on HOST, HOST:PORT, [IPV6] or [IPV6]:PORT (default port 29870); 0 when
    // the text is bad, the host cannot be resolved or no socket can be opened. An open plug-in
    // is closed and opened again on the new host.
    int Create(const char* host);
    // Asks the agent for one set of readings, waiting at most timeout ms; non-zero with all 13
    // fields of data filled, 0 (data untouched) on failure, time-out, cancel or before Create.
    int Get(LMDATA& data, unsigned int timeout);
    // Closes everything; harmless when Create failed or never ran, and when called again.
    void Destroy();
    // Callable from any thread at any time except during Destroy: a Get in progress returns 0
    // promptly and every later Get returns 0 at once. Used when the program is closing.
    void Cancel();

private:
    SOCKLIB m_lib;
    UDPCSock m_sock;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SOCKLIB) == 656, "SOCKLIB is 656 bytes in the 32-bit build");
static_assert(sizeof(UDPCSock) == 64, "UDPCSock is 64 bytes in the 32-bit build");
static_assert(sizeof(VORNPLUG) == 720, "VORNPLUG is 720 bytes in the 32-bit build");
#endif

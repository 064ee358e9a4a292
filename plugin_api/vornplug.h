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

// ---- History (version 3 of the protocol) ----
//
// A reading's history as the agent keeps it: slots of a fixed step, each the value (samples)
// or the minimum, mean and maximum (minutes, quarter hours) in the reading's fixed unit:
// 0.1 degC for CPU, PWR and SYS, 0.001 V for the seven voltages, 1 RPM for the fans.

// Resolutions: one slot a second (the last hour), a minute (48 hours), a quarter hour (35 days).
enum { VORNHIST_SAMPLES = 0, VORNHIST_MINUTES = 1, VORNHIST_QUARTER_HOURS = 2 };

// A value that is no value: a gap in the history, or a limit that is not set.
#define VORNHIST_GAP (-2147483647 - 1)

// What GetHistory found.
enum VornHistoryResult {
    VORNHIST_OK = 0,           // the slots are filled (gaps included)
    VORNHIST_BUSY = 1,         // the agent asked to be left alone: ask again after nRetryMs
    VORNHIST_UNSUPPORTED = 2,  // no answer in version 3: the agent keeps no history to give
    VORNHIST_OFF = 3,          // the agent speaks version 3 but its history is turned off
    VORNHIST_FAILED = 4        // bad arguments, not open, cancelled, a socket error, lost pages
};

struct VORNHISTSLOT {
    int nMin;
    int nMean;
    int nMax;    // a sample has its value in all three; a gap VORNHIST_GAP in all three
    int bAlarm;  // non-zero when the reading was past a limit in the slot
};
static_assert(sizeof(VORNHISTSLOT) == 16, "VORNHISTSLOT is four ints");

struct VORNHISTORY {
    long long llFirst;         // the time of the first slot, seconds since 1970 UTC
    long long llNow;           // the agent's clock when it answered the first page
    unsigned int nStep;        // seconds per slot: 1, 60 or 900
    unsigned int nIntervalMs;  // the agent's sampling interval
    int nLow;                  // the reading's limits now, VORNHIST_GAP for none
    int nHigh;
    unsigned int nSlots;    // slots filled, oldest first
    unsigned int nRetryMs;  // VORNHIST_BUSY: how long to wait before asking again
};

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
//
// Versions: Query asks in version 2 (readings and an alarm mask). An agent that knows only
// version 1 drops such a request, so a version 1 request with its own id goes out too, and
// the first valid reply to either is taken: at once while the agent is not known to speak
// version 2 (the first poll after Connect), else when the version 2 request is unanswered
// after a quarter of the time-out. No poll is thus slower than a version 1 request alone,
// from the first one on. An agent found to answer only version 1 is asked in version 1
// alone from then on, and in both again every 60th poll, so an upgraded agent is noticed.
// A version 2 agent whose version 1 reply merely came first shows itself by the late
// version 2 reply, which the next Query finds queued: it is not taken, but the agent is
// asked in version 2 again.
//
// The class keeps the size and layout the bar was built against: what versions need lives in
// m_dwState, the former 0/1 flag m_bOutstanding, whose 31 upper bits it never used:
//   bit  0      m_dwRequestId names a request that was sent and may still be answered
//   bits 1..13  the alarm mask of the last successful Query (bit 1 + k for reading k)
//   bit  14     the agent answered only version 1 so far: ask it in version 1 first
//   bit  15     the request m_dwRequestId names is a version 2 request
//   bits 16..23 polls asked in version 1 alone since version 2 was last tried
//   bit  24     the agent has answered in version 2 (since Connect)
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
    // The alarm mask of the last successful Query (bit k: reading k in record order is past
    // one of its limits); 0 before one, after Connect and Close, and from a version 1 agent.
    unsigned int GetAlarmMask() const;
    // Reads a reading's history on a socket of its own (see VORNPLUG::GetHistory). Touches
    // nothing that Query writes: callable on another thread while a Query runs.
    int QueryHistory(int reading, int resolution, long long from, long long to, VORNHISTORY& info,
                     VORNHISTSLOT* slots, unsigned int capacity, unsigned int timeout) const;

private:
    std::intptr_t m_hSocket;      // connected to the agent; -1 when closed or dropped after a
                                  // failed Query (the next Query opens a new one to m_abPeer)
    std::intptr_t m_hWake;        // loopback socket Cancel writes to; -1 when closed
    unsigned char m_abPeer[32];   // the agent's address: a sockaddr_in or sockaddr_in6
    std::uint32_t m_nPeerLen;     // bytes of m_abPeer in use; 0 while not connected
    std::uint32_t m_dwRequestId;  // id of the request now outstanding; after a Query that
                                  // sent two requests, the id of the one left unanswered
    std::uint32_t m_dwDropped;    // datagrams dropped as not the awaited reply, for diagnosis
    int m_nLastError;             // the socket error that ended the last failed Query, or 0
    std::uint32_t m_dwState;      // outstanding flag, alarm mask, version memory (see above)
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
    // Which readings the agent reported past one of their limits in the last successful Get:
    // bit k for field k of LMDATA (bit 0 CPU ... bit 12 FAN3); 0 from an agent that speaks
    // only version 1, before the first successful Get and after Destroy. Kept in UDPCSock's
    // state word, so VORNPLUG's size and layout do not change. Same thread as Get. New with
    // alarms: a bar that calls it needs a VORNPLUG.dll that exports it (they ship together).
    unsigned int GetAlarmMask() const;
    // Reads the history of `reading` (0 to 12, record order) at `resolution` (VORNHIST_*):
    // the slots from the one holding `from` to the one holding `to`, oldest first, at most
    // `capacity`, page by page; a time above 0 is seconds since 1970 UTC, 0 or less is
    // seconds before the agent's clock (0: now). A span older than the agent keeps starts at
    // its oldest slot; one after its clock gives no slots. `timeout` ms is the wait for each
    // page (three tries each). A VornHistoryResult; info and slots are filled for VORNHIST_OK
    // and nRetryMs for VORNHIST_BUSY. Uses a socket of its own and shares nothing with Get:
    // may run on another thread while Get runs, between Create and Destroy; Cancel ends it.
    // New with history: a bar that calls it needs a VORNPLUG.dll that exports it.
    int GetHistory(int reading, int resolution, long long from, long long to, VORNHISTORY& info,
                   VORNHISTSLOT* slots, unsigned int capacity, unsigned int timeout) const;

private:
    SOCKLIB m_lib;
    UDPCSock m_sock;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SOCKLIB) == 656, "SOCKLIB is 656 bytes in the 32-bit build");
static_assert(sizeof(UDPCSock) == 64, "UDPCSock is 64 bytes in the 32-bit build");
static_assert(sizeof(VORNPLUG) == 720, "VORNPLUG is 720 bytes in the 32-bit build");
#endif

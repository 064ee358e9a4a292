// Reading HWiNFO's shared memory on Windows. Every read opens the mapping afresh, maps it,
// measures the view (VirtualQuery), copies it while holding HWiNFO's mutex and unmaps it, so
// a mapping that HWiNFO has recreated larger, smaller or not at all is seen at the next read.
#include <windows.h>

#include <cstring>

#include "readings/hwinfo_source.h"

namespace vorn::readings {

namespace {

// HWiNFO is normally seen through the Global\ names (a service, in session 0, sees nothing
// else); the session's own names are tried when those are absent.
constexpr const char* kMappingNames[] = {"Global\\HWiNFO_SENS_SM2", "HWiNFO_SENS_SM2"};
constexpr const char* kMutexNames[] = {"Global\\HWiNFO_SM2_MUTEX", "HWiNFO_SM2_MUTEX"};
// HWiNFO holds its mutex only while it writes; a longer wait means it is stuck.
constexpr DWORD kMutexWaitMs = 200;
// Far more than any real machine's sensors take (a few hundred kilobytes).
constexpr SIZE_T kMaxCopy = 64u << 20;

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() {
        if (h_)
            CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

class View {
public:
    explicit View(const void* p) : p_(p) {}
    ~View() {
        if (p_)
            UnmapViewOfFile(p_);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    const void* get() const { return p_; }

private:
    const void* p_;
};

class SharedMemoryReader : public HwinfoMemoryReader {
public:
    bool Read(std::vector<std::uint8_t>* copy, std::string* why) override {
        HANDLE mapping = nullptr;
        for (const char* name : kMappingNames) {
            mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
            if (mapping)
                break;
        }
        if (!mapping) {
            *why = GetLastError() == ERROR_ACCESS_DENIED
                       ? "no access to HWiNFO's shared memory"
                       : "not found (is HWiNFO running with shared memory support on?)";
            return false;
        }
        Handle mapping_handle(mapping);
        View view(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        if (!view.get()) {
            *why =
                "cannot map HWiNFO's shared memory (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(view.get(), &info, sizeof info) != sizeof info || info.RegionSize == 0) {
            *why = "cannot measure HWiNFO's shared memory";
            return false;
        }
        const SIZE_T size = info.RegionSize < kMaxCopy ? info.RegionSize : kMaxCopy;

        HANDLE mutex = nullptr;
        for (const char* name : kMutexNames) {
            mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
            if (mutex)
                break;
        }
        Handle mutex_handle(mutex);
        if (mutex) {
            const DWORD waited = WaitForSingleObject(mutex, kMutexWaitMs);
            if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
                *why = "HWiNFO holds its shared memory's mutex too long";
                return false;
            }
        }
        // Without the mutex (an older HWiNFO) the copy may be torn; the parser takes any bytes.
        copy->resize(size);
        std::memcpy(copy->data(), view.get(), size);
        if (mutex)
            ReleaseMutex(mutex);
        return true;
    }
};

}  // namespace

std::unique_ptr<HwinfoMemoryReader> OpenHwinfoSharedMemory() {
    return std::make_unique<SharedMemoryReader>();
}

}  // namespace vorn::readings

// What the machine's instruments record about the driver: faults a driver verifier would report,
// and the platform calls a test or the command line makes fail on purpose.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image/platform_routines.h"

namespace sim {

enum class FaultKind {
    Driver,           // something a driver verifier would stop the machine for
    UnknownRegister,  // an access to a register the chip does not decode
    Process,          // a program touched memory it was not given (an access violation of that process)
};

struct Fault {
    FaultKind kind = FaultKind::Driver;
    int adapter = -1;
    std::string message;
    unsigned count = 1;   // how often the same fault was seen
};

// The faults seen so far; the same fault seen again is counted, not repeated.
class FaultLog {
public:
    // The adapter on whose behalf the driver runs now (-1: none); faults reported for "the current
    // adapter" are charged to it.
    void SetCurrentAdapter(int adapter) { currentAdapter_ = adapter; }
    int CurrentAdapter() const { return currentAdapter_; }

    void Report(FaultKind kind, int adapter, const std::string& message);
    // A driver fault of the adapter on whose behalf the driver runs now.
    void ReportDriver(const std::string& message) { Report(FaultKind::Driver, currentAdapter_, message); }

    // Who makes the hardware accesses now: the driver, or a program touching the views it was given
    // (whose bad accesses are its own faults, not the driver's).
    void SetAccessesByProcess(bool byProcess) { accessesByProcess_ = byProcess; }
    // A bad hardware access, charged to whoever makes it.
    void ReportAccess(int adapter, const std::string& message) {
        Report(accessesByProcess_ ? FaultKind::Process : FaultKind::Driver, adapter, message);
    }

    const std::vector<Fault>& All() const { return faults_; }
    std::vector<Fault> DriverFaults() const;
    void Clear();

private:
    std::vector<Fault> faults_;
    std::map<std::string, size_t> index_;   // kind/adapter/message -> position in faults_
    int currentAdapter_ = -1;
    bool accessesByProcess_ = false;
};

// The platform routines whose failure can be injected: the enumerator is the name the command
// line takes, the fault column of the routine's row in the table of platform routines
// (image/platform_routines.h); the build checks that each enumerator names one row and each row
// with a fault name has its enumerator. Only append here: the fuzzers pick a routine by its place
// in this list (fuzz/fuzz_picks.h), and a stored input keeps its meaning only while the places do.
#define ZARN_INJECTABLE_CALLS(X)                 \
    X(GetAccessRanges)                           \
    X(VerifyAccessRanges)                        \
    X(GetDeviceBase)                             \
    X(GetBusData)                                \
    X(SetBusData)                                \
    X(GetRegistryParameters)                     \
    X(SetRegistryParameters)                     \
    X(ScanRom)                                   \
    X(Int10)                                     \
    X(MapMemory)                                 \
    X(UnmapMemory)                               \
    X(MmAllocateContiguousMemory)                \
    X(ZwOpenSection)                             \
    X(ObReferenceObjectByHandle)                 \
    X(ZwMapViewOfSection)                        \
    X(AllocatePool)                              \
    X(ZwOpenKey)                                 \
    X(ZwQueryValueKey)                           \
    X(ZwSetValueKey)                             \
    X(ZwCreateFile)                              \
    X(RtlAnsiStringToUnicodeString)              \
    X(RtlUnicodeStringToAnsiString)              \
    X(DDCMonitorHelper)

enum class PlatformCall {
#define ZARN_ENUMERATOR(name) name,
    ZARN_INJECTABLE_CALLS(ZARN_ENUMERATOR)
#undef ZARN_ENUMERATOR
    Count
};
const char* PlatformCallName(PlatformCall call);
bool ParsePlatformCall(const std::string& name, PlatformCall* call);

// What a routine answers when it fails (its row's failure column).
using image::FailureAnswer;
FailureAnswer FailureAnswerOf(PlatformCall call);

// Makes the Nth call (1-based; 0 = every call) of one platform routine fail, for one adapter or all
// (-1). A failing call returns `status` where the routine returns a status, null where it returns an
// address, 0 bytes for the bus data routines and FALSE for ScanRom and DDCMonitorHelper. A kernel
// routine that returns an NTSTATUS fails with `status` when it is an error status (bit 31 set), else
// with its usual failure status.
struct InjectedFault {
    PlatformCall call = PlatformCall::GetAccessRanges;
    int adapter = -1;
    unsigned occurrence = 1;
    uint32_t status = 87;
};

// Counts the calls of every injectable routine per adapter and decides which ones fail.
class FaultInjector {
public:
    explicit FaultInjector(size_t adapters = 0);
    void Add(const InjectedFault& fault) { injected_.push_back(fault); }
    // Counts the call; true (with the status to return) when it is to fail.
    bool ShouldFail(PlatformCall call, int adapter, uint32_t* status);
    // How often the routine was called for the adapter so far.
    unsigned Calls(PlatformCall call, int adapter) const;

private:
    std::vector<InjectedFault> injected_;
    // Calls so far, per routine and adapter (-1 for none), in one block: copying it is one allocation.
    std::vector<unsigned> counts_;
    size_t slots_ = 1;   // adapters + 1
};

}  // namespace sim

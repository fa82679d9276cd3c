#include "support/faults.h"

namespace sim {

void FaultLog::Report(FaultKind kind, int adapter, const std::string& message) {
    std::string key = std::to_string(static_cast<int>(kind)) + "/" + std::to_string(adapter) + "/" + message;
    auto found = index_.find(key);
    if (found != index_.end()) {
        ++faults_[found->second].count;
        return;
    }
    index_.emplace(key, faults_.size());
    faults_.push_back(Fault{kind, adapter, message, 1});
}

std::vector<Fault> FaultLog::DriverFaults() const {
    std::vector<Fault> out;
    for (const Fault& fault : faults_) {
        if (fault.kind == FaultKind::Driver) out.push_back(fault);
    }
    return out;
}

void FaultLog::Clear() {
    faults_.clear();
    index_.clear();
}

const char* PlatformCallName(PlatformCall call) {
    switch (call) {
#define ZARN_NAME(name) \
    case PlatformCall::name: return #name;
        ZARN_INJECTABLE_CALLS(ZARN_NAME)
#undef ZARN_NAME
    case PlatformCall::Count: break;
    }
    return "?";
}

namespace {

// Every enumerator names one row of the table of platform routines, and every row with a fault name
// has its enumerator.
constexpr bool NamesOneRow(std::string_view fault) {
    int rows = 0;
    for (const image::PlatformRoutine& row : image::PlatformRoutineTable) rows += row.fault == fault;
    return rows == 1;
}
#define ZARN_CHECK_ROW(name) static_assert(NamesOneRow(#name), #name " is the fault name of one platform routine");
ZARN_INJECTABLE_CALLS(ZARN_CHECK_ROW)
#undef ZARN_CHECK_ROW

constexpr size_t InjectableRows() {
    size_t rows = 0;
    for (const image::PlatformRoutine& row : image::PlatformRoutineTable) rows += !row.fault.empty();
    return rows;
}
static_assert(InjectableRows() == static_cast<size_t>(PlatformCall::Count),
              "every platform routine with a fault name has its enumerator in ZARN_INJECTABLE_CALLS");

const image::PlatformRoutine& RowOf(PlatformCall call) { return *image::FindFault(PlatformCallName(call)); }

}  // namespace

FailureAnswer FailureAnswerOf(PlatformCall call) { return RowOf(call).failure; }

bool ParsePlatformCall(const std::string& name, PlatformCall* call) {
    for (int i = 0; i < static_cast<int>(PlatformCall::Count); ++i) {
        if (name == PlatformCallName(static_cast<PlatformCall>(i))) {
            *call = static_cast<PlatformCall>(i);
            return true;
        }
    }
    return false;
}

FaultInjector::FaultInjector(size_t adapters)
    : counts_(static_cast<size_t>(PlatformCall::Count) * (adapters + 1), 0), slots_(adapters + 1) {}

unsigned FaultInjector::Calls(PlatformCall call, int adapter) const {
    size_t slot = static_cast<size_t>(adapter + 1);
    return slot < slots_ ? counts_[static_cast<size_t>(call) * slots_ + slot] : 0;
}

bool FaultInjector::ShouldFail(PlatformCall call, int adapter, uint32_t* status) {
    size_t slot = static_cast<size_t>(adapter + 1);
    if (slot >= slots_) {
        // More adapters than the injector was made for: widen every routine's row.
        std::vector<unsigned> wider(static_cast<size_t>(PlatformCall::Count) * (slot + 1), 0);
        for (size_t c = 0; c < static_cast<size_t>(PlatformCall::Count); ++c) {
            for (size_t a = 0; a < slots_; ++a) wider[c * (slot + 1) + a] = counts_[c * slots_ + a];
        }
        counts_ = std::move(wider);
        slots_ = slot + 1;
    }
    unsigned& count = counts_[static_cast<size_t>(call) * slots_ + slot];
    ++count;
    for (const InjectedFault& fault : injected_) {
        if (fault.call != call || (fault.adapter != -1 && fault.adapter != adapter)) continue;
        if (fault.occurrence == 0 || fault.occurrence == count) {
            *status = fault.status;
            return true;
        }
    }
    return false;
}

}  // namespace sim

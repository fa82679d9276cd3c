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

bool ParsePlatformCall(const std::string& name, PlatformCall* call) {
    for (int i = 0; i < static_cast<int>(PlatformCall::Count); ++i) {
        if (name == PlatformCallName(static_cast<PlatformCall>(i))) {
            *call = static_cast<PlatformCall>(i);
            return true;
        }
    }
    return false;
}

FaultInjector::FaultInjector(size_t adapters) {
    for (auto& counts : counts_) counts.assign(adapters + 1, 0);
}

unsigned FaultInjector::Calls(PlatformCall call, int adapter) const {
    const auto& counts = counts_[static_cast<size_t>(call)];
    size_t slot = static_cast<size_t>(adapter + 1);
    return slot < counts.size() ? counts[slot] : 0;
}

bool FaultInjector::ShouldFail(PlatformCall call, int adapter, uint32_t* status) {
    auto& counts = counts_[static_cast<size_t>(call)];
    size_t slot = static_cast<size_t>(adapter + 1);
    if (slot >= counts.size()) counts.resize(slot + 1, 0);
    unsigned& count = counts[slot];
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

// REGEDIT4 text as a person might hand it to zarnsim --registry: the loader must refuse or accept
// it without harm, and whatever it accepts must save and load back to the same registry.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "kernel/regfile.h"

namespace {

bool SameValues(const sim::RegKey& x, const sim::RegKey& y) {
    if (x.path != y.path || x.values.size() != y.values.size()) return false;
    for (size_t v = 0; v < x.values.size(); ++v) {
        if (x.values[v].name != y.values[v].name || x.values[v].type != y.values[v].type ||
            x.values[v].data != y.values[v].data) {
            return false;
        }
    }
    return true;
}

bool SameRegistry(const sim::Registry& a, const sim::Registry& b) {
    return std::equal(a.Keys().begin(), a.Keys().end(), b.Keys().begin(), b.Keys().end(), SameValues);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    sim::Registry registry;
    std::string error;
    if (!sim::LoadRegFile(text, registry, &error)) {
        if (error.empty() || error.find('\n') != std::string::npos) std::abort();
        return 0;
    }
    if (!sim::CanSaveRegFile(registry, &error)) return 0;
    sim::Registry again;
    if (!sim::LoadRegFile(sim::SaveRegFile(registry), again, &error) || !SameRegistry(registry, again)) std::abort();
    return 0;
}

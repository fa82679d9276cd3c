#include "builds_run.h"
#include "support/text_format.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "../driver_faults.h"
#include "clients/display_driver.h"
#include "clients/test_pattern.h"
#include "devices/scanout.h"
#include "display.h"
#include "kernel/regfile.h"
#include "report.h"
#include "script.h"

namespace builds {

using sim::Hex;

namespace {

std::string Bytes(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

std::string Digest(const void* data, size_t size) {
    return Hex(std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(data), size)));
}

class Recorder {
public:
    explicit Recorder(Run& run) : run_(run) {}
    void operator()(const std::string& what, const std::string& value) { run_.answers.emplace_back(what, value); }
    void Lines(const std::string& what, const std::string& text) {
        std::istringstream lines(text);
        std::string line;
        for (int number = 1; std::getline(lines, line); ++number) (*this)(what + " line " + std::to_string(number), line);
    }

private:
    Run& run_;
};

// The callbacks the driver registered (by whether it did: the code addresses are each build's own)
// and the sizes it asked for.
void RecordRegistration(sim::Machine& machine, Recorder& record) {
    const VIDEO_HW_INITIALIZATION_DATA& data = machine.Registration();
    record("driver entry status", Hex(machine.DriverEntryStatus()));
    record("registration", "size " + std::to_string(data.HwInitDataSize) + ", bus " +
                               std::to_string(data.AdapterInterfaceType) + ", extension " +
                               std::to_string(data.HwDeviceExtensionSize) + ", first device " +
                               std::to_string(data.StartingDeviceNumber) + ", early enumeration " +
                               std::to_string(data.AllowEarlyEnumeration));
    const std::pair<const char*, ULONG> callbacks[] = {
        {"HwFindAdapter", data.HwFindAdapter.address},
        {"HwInitialize", data.HwInitialize.address},
        {"HwInterrupt", data.HwInterrupt.address},
        {"HwStartIO", data.HwStartIO.address},
        {"HwResetHw", data.HwResetHw.address},
        {"HwTimer", data.HwTimer.address},
        {"HwSetPowerState", data.HwSetPowerState.address},
        {"HwGetPowerState", data.HwGetPowerState.address},
        {"HwGetVideoChildDescriptor", data.HwGetVideoChildDescriptor.address},
        {"HwQueryInterface", data.HwQueryInterface.address},
    };
    for (const auto& [name, code] : callbacks) record(std::string("callback ") + name, code ? "registered" : "none");
}

// What the port knows of each adapter: discovery, its mappings, the configuration the driver left,
// the children it reported.
void RecordAdapters(sim::Machine& machine, Recorder& record, const std::string& when) {
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        const sim::AdapterRuntime& adapter = machine.Adapter(static_cast<int>(i));
        const std::string prefix = when + " adapter " + std::to_string(i) + " ";
        record(prefix + "discovery",
               std::to_string(adapter.discoveryRan) + " status " + Hex(adapter.discoveryStatus) + " again " +
                   std::to_string(adapter.again) + " initialize " + std::to_string(adapter.initializeRan) +
                   " started " + std::to_string(adapter.started) + " power " + std::to_string(adapter.powerState));
        record(prefix + "asked identity", Hex(adapter.askedVendorId) + " " + Hex(adapter.askedDeviceId));
        record(prefix + "configuration", Bytes(&adapter.configInfo, sizeof adapter.configInfo));
        for (const sim::DeviceMapping& mapping : adapter.mappings) {
            record(prefix + "mapping", Hex(mapping.physical) + " +" + Hex(mapping.length) + " space " +
                                           std::to_string(mapping.inIoSpace) + " at " + Hex(mapping.address));
        }
        for (const sim::ChildDevice& child : adapter.children) {
            record(prefix + "child " + std::to_string(child.index),
                   "type " + std::to_string(child.type) + " id " + Hex(child.uid) + " " +
                       Bytes(child.descriptor.data(), child.descriptor.size()));
        }
    }
}

void RecordModes(sim::Machine& machine, Recorder& record) {
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        const int adapter = static_cast<int>(i);
        if (!machine.Adapter(adapter).started) continue;
        sim::ModeList list = sim::QueryModes(machine, adapter);
        const std::string prefix = "adapter " + std::to_string(i) + " ";
        record(prefix + "mode list", "status " + Hex(list.status) + ", " + std::to_string(list.modes.size()) + " modes");
        for (uint32_t index = 0; index < list.modes.size(); ++index) {
            sim::ModeSetResult set = sim::SetModeByIndex(machine, adapter, list.modes[index].ModeIndex);
            record(prefix + "mode " + std::to_string(index),
                   "listed " + Bytes(&list.modes[index], sizeof list.modes[index]) + " set " + Hex(set.status) +
                       " current " + Bytes(&set.mode, sizeof set.mode));
        }
    }
}

// The hardware, memory and kernel as the run left them.
void RecordState(sim::Machine& machine, Recorder& record) {
    record("clock", std::to_string(machine.Now()) + " ns");
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        const int adapter = static_cast<int>(i);
        sim::VideoMemoryBytes& memory = machine.VideoMemory(adapter);
        sim::Image screen = sim::RenderScreen(machine.ChipOf(adapter), {memory.data(), memory.size()});
        const std::string prefix = "adapter " + std::to_string(i) + " ";
        record(prefix + "screen", std::to_string(screen.width) + "x" + std::to_string(screen.height) + " " +
                                      Digest(screen.pixels.data(), screen.pixels.size() * 4));
        record(prefix + "video memory", Digest(memory.data(), memory.size()));
        record(prefix + "monitor power", std::to_string(static_cast<int>(machine.MonitorPowerOf(adapter))));
    }
    for (const auto& [id, process] : machine.GetKernel().Processes()) {
        const std::string prefix = "process " + std::to_string(id) + " ";
        record(prefix + "state", std::string(process.ended ? "ended" : "running") + ", " +
                                     std::to_string(process.handles.size()) + " handles");
        for (const auto& [base, view] : process.views) {
            record(prefix + "view", Hex(base) + " +" + Hex(view.size) + " of " + Hex(view.physical) + " " +
                                        view.caching + " by " + view.madeBy + " for adapter " +
                                        std::to_string(view.adapter));
        }
    }
    sim::KernelObjects& objects = machine.GetKernel().Objects();
    record("kernel objects", std::to_string(objects.OpenHandles()) + " handles, " +
                                 std::to_string(objects.LiveStrings()) + " strings, " +
                                 std::to_string(objects.LivePoolBlocks()) + " pool blocks");
    for (const sim::LoggedError& logged : machine.Port().LoggedErrors()) {
        record("event log", std::to_string(logged.adapter) + " " + Hex(logged.errorCode) + " " + Hex(logged.uniqueId) +
                                " " + Hex(logged.requestCode));
    }
    for (const sim::DriverMessage& message : machine.Port().Messages()) {
        record("message", std::to_string(message.adapter) + " level " + std::to_string(message.level) + " " + message.text);
    }
    for (const sim::RegistryCall& call : machine.RegistryCalls()) {
        record("registry call", std::to_string(call.adapter) + (call.write ? " write " : " read ") + call.name +
                                    " found " + std::to_string(call.found) + " status " + Hex(call.status));
    }
}

// Sets the mode on every started adapter with an identity gamma ramp, draws the test pattern through
// the display driver's mapping and counts the pixels of the decoded screen that are not the pattern's.
void RecordPictures(sim::Machine& machine, const std::string& mode, Recorder& record) {
    std::vector<uint32_t> identity(256);
    for (uint32_t i = 0; i < 256; ++i) identity[i] = i * 0x010101;
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        const int adapter = static_cast<int>(i);
        if (!machine.Adapter(adapter).started) continue;
        const std::string prefix = "adapter " + std::to_string(i) + " picture";
        sim::ModeSetResult set = sim::SetMode(machine, adapter, sim::ParseModeRequest(mode));
        uint32_t gamma = sim::SetGammaRamp(machine, adapter, identity);
        sim::FrameBufferMapping mapping = sim::MapFrameBuffer(machine, adapter);
        std::string error;
        if (set.status || gamma || mapping.status || !sim::DrawThroughMapping(machine, 1, mapping, set.mode, &error)) {
            record(prefix, "not drawn: mode " + Hex(set.status) + ", gamma " + Hex(gamma) + ", mapping " +
                               Hex(mapping.status) + " " + error);
            continue;
        }
        sim::Image screen = sim::RenderScreen(machine.ChipOf(adapter), machine.VideoMemory(adapter));
        size_t off = screen.width == set.mode.VisScreenWidth && screen.height == set.mode.VisScreenHeight ? 0 : 1;
        for (unsigned y = 0; y < screen.height && !off; ++y) {
            for (unsigned x = 0; x < screen.width; ++x) {
                off += screen.At(x, y) != sim::PatternColour(x, y, screen.width, screen.height);
            }
        }
        record(prefix, std::to_string(screen.width) + "x" + std::to_string(screen.height) + ", " +
                           std::to_string(off) + " pixels off the pattern");
        sim::UnmapFrameBuffer(machine, adapter, mapping.frameBufferBase);
    }
}

void Play(const Scenario& scenario, sim::Machine& machine, Recorder& record) {
    machine.Boot();
    // The display driver's session opens every started display device, as zarnsim's does.
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        if (machine.Adapter(static_cast<int>(i)).started) machine.OpenDevice(static_cast<int>(i));
    }
    RecordRegistration(machine, record);
    RecordAdapters(machine, record, "after boot");
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        record.Lines("report " + std::to_string(i), zarnsim::AdapterReportText(machine, static_cast<int>(i)));
    }
    if (!scenario.script.empty()) {
        std::istringstream in(scenario.script);
        std::ostringstream out;
        try {
            zarnsim::RunScript(machine, in, false, out);
        } catch (const zarnsim::ScriptError& error) {
            out << "stopped: " << error.what() << "\n";
        }
        record.Lines("script", out.str());
    }
    if (scenario.everyMode) RecordModes(machine, record);
    if (!scenario.session.empty()) record.Lines("session", zarnsim::ShowModeText(machine, 0, scenario.session, ""));
    if (!scenario.picture.empty()) RecordPictures(machine, scenario.picture, record);
    RecordAdapters(machine, record, "at the end");
    RecordState(machine, record);
}

// The trace entries as text, from `first` on.
std::string Access(const std::vector<sim::TraceEntry>& trace, size_t index) {
    return index < trace.size() ? "'" + sim::FormatTraceEntry(trace[index]) + "'" : "nothing (the trace ends)";
}

bool SameAccess(const sim::TraceEntry& a, const sim::TraceEntry& b) {
    return a.adapter == b.adapter && a.write == b.write && a.window == b.window && a.width == b.width &&
           a.offset == b.offset && a.value == b.value && a.name == b.name;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

Run RunScenario(const Scenario& scenario, const std::string& driverImage) {
    sim::MachineConfig config;
    if (!scenario.adapters.empty()) {
        config.adapters.clear();
        for (const std::string& description : scenario.adapters) {
            config.adapters.push_back(sim::ParseAdapterDescription(description));
        }
    }
    config.systemFiles = scenario.systemFiles;
    config.checkAliasing = scenario.checkAliasing;
    config.processReuse = scenario.processReuse;
    config.driverImage = driverImage;
    Run run;
    run.machine = std::make_unique<sim::Machine>(config);
    sim::Machine& machine = *run.machine;
    // A debugger that shows every message (the checked build prints them; the release build has none).
    machine.Port().SetDebugLevel(3);
    for (const sim::InjectedFault& fault : scenario.faults) machine.InjectFault(fault);
    std::string error;
    if (!scenario.registry.empty() && !sim::LoadRegFile(scenario.registry, machine.GetRegistry(), &error)) {
        throw std::invalid_argument("scenario " + scenario.name + ": " + error);
    }
    Recorder record(run);
    try {
        Play(scenario, machine, record);
    } catch (const std::exception& stop) {
        record("the run stopped", stop.what());
    }
    return run;
}

std::string FirstDifference(const Run& host, const Run& image) {
    const auto& a = host.answers;
    const auto& b = image.answers;
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
        if (i >= a.size()) return "the image answered more: " + b[i].first + " '" + b[i].second + "'";
        if (i >= b.size()) return "the image answered less: " + a[i].first + " '" + a[i].second + "' is missing";
        if (a[i] != b[i]) {
            return "answer '" + a[i].first + "' differs: host '" + a[i].second + "', image '" + b[i].second + "'" +
                   (a[i].first != b[i].first ? " (image: '" + b[i].first + "')" : "");
        }
    }
    const std::vector<sim::TraceEntry>& hostTrace = host.machine->Trace();
    const std::vector<sim::TraceEntry>& imageTrace = image.machine->Trace();
    for (size_t i = 0; i < hostTrace.size() || i < imageTrace.size(); ++i) {
        if (i < hostTrace.size() && i < imageTrace.size() && SameAccess(hostTrace[i], imageTrace[i])) continue;
        return "hardware access " + std::to_string(i) + " differs: host " + Access(hostTrace, i) + ", image " +
               Access(imageTrace, i);
    }
    std::vector<std::string> hostRegistry = Lines(sim::SaveRegFile(host.machine->GetRegistry()));
    std::vector<std::string> imageRegistry = Lines(sim::SaveRegFile(image.machine->GetRegistry()));
    for (size_t i = 0; i < hostRegistry.size() || i < imageRegistry.size(); ++i) {
        std::string left = i < hostRegistry.size() ? hostRegistry[i] : "(end)";
        std::string right = i < imageRegistry.size() ? imageRegistry[i] : "(end)";
        if (left != right) return "registry line " + std::to_string(i + 1) + " differs: host '" + left + "', image '" + right + "'";
    }
    const std::vector<sim::Fault>& hostFaults = host.machine->Faults();
    const std::vector<sim::Fault>& imageFaults = image.machine->Faults();
    for (size_t i = 0; i < hostFaults.size() || i < imageFaults.size(); ++i) {
        std::string left = i < hostFaults.size() ? FaultLine(hostFaults[i]) : "(none)";
        std::string right = i < imageFaults.size() ? FaultLine(imageFaults[i]) : "(none)";
        if (left != right) return "fault " + std::to_string(i + 1) + " differs: host '" + left + "', image '" + right + "'";
    }
    return "";
}

}  // namespace builds

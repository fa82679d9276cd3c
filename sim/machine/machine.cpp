#include "machine/machine.h"
#include "support/text_format.h"

#include <cstdio>
#include <stdexcept>

#include "machine/image_routines.h"
#include "port/image_miniport.h"

namespace sim {

namespace {

thread_local Machine* currentMachine = nullptr;

}  // namespace

Machine* CurrentMachine() { return currentMachine; }

// --- The driver image ---

namespace {

// The build of the driver the machine runs: the host build, or the image the configuration names.
std::unique_ptr<Miniport> MakeMiniport(const MachineConfig& config, Kernel& kernel) {
    if (config.driverImage.empty()) return std::make_unique<HostMiniport>();
    return std::make_unique<ImageMiniport>(config.driverImage, kernel);
}

}  // namespace

image::Cpu* Machine::Processor() {
    auto* image = dynamic_cast<ImageMiniport*>(miniport_.get());
    return image ? &image->Runner().Processor() : nullptr;
}

Machine::Machine(MachineConfig config)
    : config_(std::move(config)),
      bus_(trace_, faults_),
      kernel_(bus_, faults_),
      miniport_(MakeMiniport(config_, kernel_)),
      port_(kernel_, bus_, faults_, *miniport_) {
    if (auto* image = dynamic_cast<ImageMiniport*>(miniport_.get())) image->Routines() = ImageRoutines(port_, kernel_);
    if (config_.adapters.empty()) throw std::invalid_argument("a machine needs at least one adapter");
    if (config_.adapters.size() > MaxAdapters) {
        throw std::invalid_argument("at most " + std::to_string(MaxAdapters) + " adapters fit in the machine");
    }
    for (const AdapterConfig& adapter : config_.adapters) bus_.AddBoard(adapter);
    for (const std::string& file : config_.systemFiles) kernel_.Objects().AddSystemFile(file);
    kernel_.Objects().SetAnsiCodePage(config_.ansiCodePage);
    kernel_.SetSystemMemory(uint64_t{config_.systemMemoryMiB} << 20);
    kernel_.SetProcessReuse(config_.processReuse);
    port_.SetConfigInfoLength(config_.configInfoLength);
    port_.SetEnumerateAtLoad(config_.enumerateChildren);
}

Machine::~Machine() {
    if (currentMachine == this) currentMachine = nullptr;
}

// Makes this machine the one the driver runs for, with its own copy of the driver's data.
void Machine::Activate() {
    miniport_->Activate();
    currentMachine = this;
}

uint32_t Machine::Boot() {
    Activate();
    return port_.Load();
}

void* Machine::Extension(int adapter) { return port_.Extension(adapter); }

bool Machine::OpenDevice(int adapter) {
    CheckStarted(adapter);
    Activate();
    return port_.Open(adapter);
}

void Machine::CheckStarted(int adapter) const {
    if (adapter < 0 || static_cast<size_t>(adapter) >= AdapterCount()) {
        throw std::invalid_argument("there is no adapter " + std::to_string(adapter));
    }
    if (static_cast<size_t>(adapter) >= port_.AdapterCount() || !port_.Adapter(adapter).started) {
        throw std::invalid_argument("adapter " + std::to_string(adapter) + " was not started");
    }
}

Machine::Snapshot Machine::Save() {
    Activate();
    return Snapshot{port_.Save(), kernel_.Save(), bus_.Save(), faults_, miniport_->SaveData()};
}

void Machine::Restore(const Snapshot& snapshot) {
    port_.Restore(snapshot.port);
    kernel_.Restore(snapshot.kernel);
    bus_.Restore(snapshot.bus);
    faults_ = snapshot.faults;
    miniport_->RestoreData(snapshot.driverData);
}

RequestResult Machine::Request(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                               const RequestOptions& options) {
    if (!OpenDevice(options.adapter)) {
        throw std::invalid_argument("adapter " + std::to_string(options.adapter) +
                                    " could not be opened: HwInitialize answered FALSE");
    }
    CheckRunning(options.process);
    if (!config_.checkAliasing) return port_.Deliver(code, input, outputLength, options, true);

    // The separate run is only the check; the machine goes on from the run the port makes, with one
    // buffer. The check's accesses leave no trace.
    Snapshot before = Save();
    trace_.Pause();
    RequestResult separate = port_.Deliver(code, input, outputLength, options, false);
    trace_.Resume();
    Restore(before);
    RequestResult aliased = port_.Deliver(code, input, outputLength, options, true);
    if (!(aliased == separate)) {
        faults_.Report(FaultKind::Driver, options.adapter,
                       "request " + Hex(code) + " answers differently when input and output share one buffer");
    }
    return aliased;
}

void Machine::CheckRunning(uint32_t process) {
    if (kernel_.HasEnded(process)) throw std::invalid_argument("process " + std::to_string(process) + " has ended");
    kernel_.EnsureProcess(process);
}

void Machine::StartProcess(uint32_t process) {
    Activate();
    CheckRunning(process);
}

bool Machine::ProcessRead(uint32_t process, uint32_t address, std::vector<uint8_t>& bytes) {
    Activate();
    CheckRunning(process);
    return kernel_.ProcessRead(process, address, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool Machine::ProcessWrite(uint32_t process, uint32_t address, const std::vector<uint8_t>& bytes) {
    Activate();
    CheckRunning(process);
    return kernel_.ProcessWrite(process, address, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<View> Machine::EndProcess(uint32_t process) {
    Activate();
    if (process == Kernel::SystemProcess) throw std::invalid_argument("process 0 is the system's: it never ends");
    if (kernel_.HasEnded(process)) throw std::invalid_argument("process " + std::to_string(process) + " has ended");
    if (!kernel_.FindProcess(process)) throw std::invalid_argument("process " + std::to_string(process) + " never ran");
    return kernel_.EndProcess(process);
}

bool Machine::ResetHw(int adapter, ULONG columns, ULONG rows) {
    CheckStarted(adapter);
    Activate();
    return port_.ResetHw(adapter, columns, rows);
}

// --- Monitor child and power -----------------------------------------------------------------------

void Machine::EnumerateChildren(int adapter) {
    CheckStarted(adapter);
    Activate();
    port_.EnumerateChildren(adapter);
}

uint32_t Machine::MonitorId(int adapter) const {
    for (const ChildDevice& child : Children(adapter)) {
        if (child.type == Monitor) return child.uid;
    }
    return 0;
}

uint32_t Machine::QueryPower(int adapter, uint32_t hwId, uint32_t state) {
    CheckStarted(adapter);
    Activate();
    return port_.QueryPower(adapter, hwId, state);
}

uint32_t Machine::SetPower(int adapter, uint32_t hwId, uint32_t state) {
    CheckStarted(adapter);
    Activate();
    return port_.SetPower(adapter, hwId, state);
}

MonitorPower Machine::MonitorPowerOf(int adapter) {
    Board& board = bus_.BoardAt(adapter);
    return board.monitor.Power(DecodeSyncOutputs(board.chip));
}

}  // namespace sim

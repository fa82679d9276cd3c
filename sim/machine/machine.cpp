#include "machine/machine.h"
#include "support/text_format.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "machine/image_routines.h"
#include "port/image_miniport.h"

namespace sim {

namespace {

thread_local Machine* currentMachine = nullptr;

}  // namespace

Machine* CurrentMachine() { return currentMachine; }

Machine& MachineForRoutine(const char* routine) {
    if (!currentMachine) {
        std::fprintf(stderr, "zarnsim: the driver called %s outside a simulated machine\n", routine);
        std::abort();
    }
    return *currentMachine;
}

// --- The driver image ---

namespace {

// The build of the driver the machine runs: the host build, or the image the configuration names.
std::unique_ptr<Miniport> MakeMiniport(const MachineConfig& config, Kernel& kernel) {
    if (config.driverImage.empty()) return std::make_unique<HostMiniport>(kernel);
    return std::make_unique<ImageMiniport>(config.driverImage, kernel);
}

}  // namespace

image::Cpu* Machine::Processor() {
    auto* image = dynamic_cast<ImageMiniport*>(miniport_.get());
    return image ? &image->Runner().Processor() : nullptr;
}

const image::LoadedImage* Machine::DriverImage() {
    auto* image = dynamic_cast<ImageMiniport*>(miniport_.get());
    return image ? &image->Runner().Image() : nullptr;
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
    codesRequested_.insert(code);
    if (!config_.checkAliasing) return port_.Deliver(code, input, outputLength, options, true);

    // The separate run and the run with other stale memory are only the checks; the machine goes on
    // from the run the port makes, with one buffer. The checks' accesses leave no trace.
    Snapshot before = Save();
    trace_.Pause();
    bus_.PauseWave(true);
    RequestResult separate = port_.Deliver(code, input, outputLength, options, false);
    Restore(before);
    kernel_.SetStaleWord(Kernel::OtherStaleDword);
    RequestResult otherStale = port_.Deliver(code, input, outputLength, options, true);
    kernel_.SetStaleWord(Kernel::StaleDword);
    std::vector<Kernel::StoredValue> otherValues = kernel_.TakeStoredValues();
    bus_.PauseWave(false);
    trace_.Resume();
    Restore(before);
    RequestResult aliased = port_.Deliver(code, input, outputLength, options, true);
    if (!(aliased == separate)) {
        faults_.Report(FaultKind::Driver, options.adapter,
                       "request " + Hex(code) + " answers differently when input and output share one buffer");
    }
    CheckStaleDependence(code, options.adapter, aliased, otherStale, kernel_.TakeStoredValues(), otherValues);
    return aliased;
}

// The two runs differ only in what stale memory holds (the system buffer past the input, pool and
// contiguous blocks made during the request, the stack): whatever differs depends on bytes the driver
// never wrote.
void Machine::CheckStaleDependence(uint32_t code, int adapter, const RequestResult& run, const RequestResult& other,
                                   const std::vector<Kernel::StoredValue>& values,
                                   const std::vector<Kernel::StoredValue>& otherValues) {
    const std::string request = "request " + Hex(code);
    if (run.status != other.status || run.information != other.information) {
        faults_.Report(FaultKind::Driver, adapter,
                       request + " answers status " + Hex(run.status) + " with " + std::to_string(run.information) +
                           " bytes, or " + Hex(other.status) + " with " + std::to_string(other.information) +
                           ", by what stale memory holds: the driver reads memory it never wrote");
    } else if (run.output != other.output) {
        std::vector<Kernel::Run> runs;
        for (uint32_t i = 0; i < run.output.size(); ++i) {
            if (run.output[i] == other.output[i]) continue;
            if (!runs.empty() && runs.back().offset + runs.back().length == i) ++runs.back().length;
            else runs.push_back(Kernel::Run{i, 1});
        }
        faults_.Report(FaultKind::Driver, adapter,
                       request + " answers " + Kernel::DescribeRuns(runs) +
                           " that change with what stale memory holds: bytes the driver never wrote, or copied "
                           "from memory it never wrote, reach the caller");
    }
    if (values != otherValues) {
        faults_.Report(FaultKind::Driver, adapter,
                       request + " stores registry values that change with what stale memory holds: bytes the "
                                 "driver never wrote reach the registry");
    }
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

bool Machine::StartWave() {
    if (wave_) return false;
    wave_ = std::make_unique<WaveCapture>(bus_);
    return true;
}

std::string Machine::StopWave(bool runOn) {
    if (!wave_) return "";
    std::string dump = wave_->Finish(runOn ? std::max(bus_.Now(), wave_->SyncRecordedUntil()) : bus_.Now());
    wave_.reset();
    return dump;
}

MonitorPower Machine::MonitorPowerOf(int adapter) {
    Board& board = bus_.BoardAt(adapter);
    return board.monitor.Power(DecodeSyncOutputs(board.chip));
}

}  // namespace sim

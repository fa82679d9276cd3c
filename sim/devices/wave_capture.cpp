#include "devices/wave_capture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "devices/bus.h"

namespace sim {

namespace {

// The signals of one board, in the order of WaveCapture::Signal, as the dump names them (with the
// board's number after each: names must differ across boards for viewers that drop the scope).
const char* const signalNames[] = {"scl", "sda", "hsync", "vsync", "power_on", "power_standby", "power_suspend",
                                   "power_off"};

// The level of a sync output at `t`: the pulse's level with its polarity; a stopped output is low.
bool LevelAt(bool running, bool negative, const PulseTrain& pulses, uint64_t t) {
    return running && pulses.ActiveAt(t) != negative;
}

// The first whole nanosecond at or after `t` outside a pulse (`t` itself when no pulse is in
// progress, or when the pulses leave no gap).
uint64_t PulseEnd(const PulseTrain& pulses, uint64_t t) {
    if (pulses.width >= pulses.period || !pulses.ActiveAt(t)) return t;
    double phase = std::fmod(static_cast<double>(t) - pulses.start + pulses.period, pulses.period);
    uint64_t end = t + static_cast<uint64_t>(std::max(0.0, std::floor(pulses.width - phase)));
    // The computed end is within a step of the level's own change.
    for (int step = 0; step < 4 && pulses.ActiveAt(end); ++step) ++end;
    return end;
}

// The identifier code of a signal: one printable character, none that a reader could take for a
// value (digits, x, z, b, r) or a time.
char CodeOf(size_t signal) {
    static const std::string codes = [] {
        std::string usable;
        for (char c = '!'; c <= '~'; ++c) {
            if (!std::strchr("0123456789xXzZbBrR#$", c)) usable += c;
        }
        return usable;
    }();
    return codes.at(signal);
}

}  // namespace

SyncShape ShapeOf(const SyncOutputs& sync) {
    SyncShape shape;
    if (!sync.timing) return shape;
    shape.hRunning = sync.hsync;
    shape.vRunning = sync.vsync;
    shape.hNegative = sync.t.hsyncNegative;
    shape.vNegative = sync.t.vsyncNegative;
    shape.h = HorizontalPulses(sync.t);
    shape.v = VerticalPulses(sync.t);
    return shape;
}

void WaveCapture::Probe::WiresChanged(uint64_t timeNs, bool clock, bool data) {
    if (capture.paused_) return;
    capture.Record(board, Clock, timeNs, clock);
    capture.Record(board, Data, timeNs, data);
}

WaveCapture::WaveCapture(Bus& bus) : bus_(bus), start_(bus.Now()) {
    for (size_t i = 0; i < bus.BoardCount(); ++i) {
        int board = static_cast<int>(i);
        boards_.push_back(std::make_unique<BoardWave>());
        boards_.back()->probe = std::make_unique<Probe>(*this, board);
        const DisplayMonitor& monitor = bus.BoardAt(board).monitor;
        Record(board, Clock, start_, monitor.ClockWire());
        Record(board, Data, start_, monitor.DataWire());
        LookAt(board, start_, true);
    }
    bus.AttachWave(this);
}

WaveCapture::~WaveCapture() { bus_.AttachWave(nullptr); }

void WaveCapture::Record(int board, Signal signal, uint64_t time, bool level) {
    changes_.push_back(Change{time, static_cast<uint16_t>(board * SignalsPerBoard + signal), level});
}

void WaveCapture::Look(uint64_t now) {
    if (paused_) return;
    for (size_t i = 0; i < boards_.size(); ++i) LookAt(static_cast<int>(i), now, false);
}

void WaveCapture::LookAt(int index, uint64_t now, bool first) {
    BoardWave& wave = *boards_[index];
    const Board& board = bus_.BoardAt(index);
    if (!first && board.chip.Generation() == wave.generation && board.powered == wave.powered) return;
    wave.generation = board.chip.Generation();
    wave.powered = board.powered;
    SyncOutputs sync = DecodeSyncOutputs(board.chip);
    SyncShape shape = board.powered ? ShapeOf(sync) : SyncShape{};
    if (first || !(shape == wave.shape)) {
        if (!first) EndSync(index, now);
        StartSync(index, now, shape);
    }
    MonitorPower power = board.monitor.Power(sync);
    if (first || power != wave.power) RecordPower(index, now, power);
    wave.power = power;
}

void WaveCapture::RecordPower(int board, uint64_t time, MonitorPower power) {
    Record(board, PowerOn, time, power == MonitorPower::On);
    Record(board, PowerStandBy, time, power == MonitorPower::StandBy);
    Record(board, PowerSuspend, time, power == MonitorPower::Suspend);
    Record(board, PowerOff, time, power == MonitorPower::Off);
}

// The outputs' levels from `time`, and how long they are recorded: the window of frames, then on
// to the end of any pulse in progress (a vertical pulse ends with a line, where a horizontal one
// may begin: hence two rounds).
void WaveCapture::StartSync(int board, uint64_t time, const SyncShape& shape) {
    BoardWave& wave = *boards_[board];
    wave.shape = shape;
    wave.since = time;
    wave.until = time;
    if (shape.hRunning || shape.vRunning) {
        double window = std::min(WaveSyncFrames * shape.v.period, static_cast<double>(WaveSyncMaxNanoseconds));
        wave.until = time + static_cast<uint64_t>(std::ceil(window));
        for (int round = 0; round < 2; ++round) {
            if (shape.hRunning) wave.until = PulseEnd(shape.h, wave.until);
            if (shape.vRunning) wave.until = PulseEnd(shape.v, wave.until);
        }
    }
    wave.hLevel = LevelAt(shape.hRunning, shape.hNegative, shape.h, time);
    wave.vLevel = LevelAt(shape.vRunning, shape.vNegative, shape.v, time);
    Record(board, Hsync, time, wave.hLevel);
    Record(board, Vsync, time, wave.vLevel);
}

// Every edge of the recording that began at `since`, up to `time` (when the next one begins) or
// to the end of its window. Each edge is the first whole nanosecond at which the output's level
// (as the status register would read it) has changed.
void WaveCapture::EndSync(int board, uint64_t time) {
    BoardWave& wave = *boards_[board];
    const uint64_t to = wave.until < time ? wave.until + 1 : time;
    struct Output {
        Signal signal;
        bool running;
        bool negative;
        const PulseTrain& pulses;
        bool& level;
    };
    const Output outputs[] = {{Hsync, wave.shape.hRunning, wave.shape.hNegative, wave.shape.h, wave.hLevel},
                              {Vsync, wave.shape.vRunning, wave.shape.vNegative, wave.shape.v, wave.vLevel}};
    for (const Output& output : outputs) {
        const PulseTrain& p = output.pulses;
        if (!output.running || p.width >= p.period || to <= wave.since + 1) continue;
        int64_t checked = static_cast<int64_t>(wave.since);
        const int64_t last = static_cast<int64_t>(to) - 1;
        double first = std::floor((static_cast<double>(wave.since) - p.start) / p.period) - 1;
        for (double k = first;; ++k) {
            double rise = p.start + k * p.period;
            if (rise > static_cast<double>(last) + 2) break;
            for (double edge : {rise, rise + p.width}) {
                const int64_t near = static_cast<int64_t>(std::floor(edge));
                for (int64_t t = std::max(checked + 1, near - 1); t <= std::min(near + 2, last); ++t) {
                    bool level = p.ActiveAt(static_cast<uint64_t>(t)) != output.negative;
                    if (level != output.level) Record(board, output.signal, static_cast<uint64_t>(t), level);
                    output.level = level;
                    checked = t;
                }
            }
        }
    }
}

uint64_t WaveCapture::SyncRecordedUntil() const {
    uint64_t until = 0;
    for (const auto& wave : boards_) until = std::max(until, wave->until);
    return until;
}

std::string WaveCapture::Finish(uint64_t end) {
    bool paused = paused_;
    paused_ = false;
    Look(bus_.Now());
    paused_ = paused;
    end = std::max(end, bus_.Now());
    for (size_t i = 0; i < boards_.size(); ++i) EndSync(static_cast<int>(i), end);
    return Dump(end);
}

std::string WaveCapture::Dump(uint64_t end) const {
    std::string out;
    out += "$version zarnsim $end\n";
    out += "$comment\n  The connector of every adapter on the machine's clock: the display data channel's wires as "
           "they carry them, the sync outputs as the CRTC drives them and the monitor's power state. The sync outputs "
           "are recorded for " + std::to_string(WaveSyncFrames) + " frames (at most " +
           std::to_string(WaveSyncMaxNanoseconds / 1000000) +
           " ms) after each change of what the CRTC generates, then shown at rest until the next change.\n$end\n";
    out += "$timescale 1 ns $end\n";
    const size_t signals = boards_.size() * SignalsPerBoard;
    for (size_t board = 0; board < boards_.size(); ++board) {
        out += "$scope module adapter" + std::to_string(board) + " $end\n";
        for (size_t s = 0; s < SignalsPerBoard; ++s) {
            out += std::string("$var wire 1 ") + CodeOf(board * SignalsPerBoard + s) + " " + signalNames[s] +
                   std::to_string(board) + " $end\n";
        }
        out += "$upscope $end\n";
    }
    out += "$enddefinitions $end\n";

    std::vector<Change> sorted = changes_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Change& a, const Change& b) { return a.time < b.time; });
    // Per signal: the level shown (-1 before the first), and the latest level at the time being written.
    std::vector<int> shown(signals, -1), latest(signals, -1);
    uint64_t last = start_;
    for (size_t at = 0; at < sorted.size();) {
        const uint64_t time = sorted[at].time;
        for (; at < sorted.size() && sorted[at].time == time; ++at) latest[sorted[at].signal] = sorted[at].level;
        std::string lines;
        for (size_t s = 0; s < signals; ++s) {
            if (latest[s] < 0 || latest[s] == shown[s]) continue;
            lines += (latest[s] ? '1' : '0');
            lines += CodeOf(s);
            lines += '\n';
            shown[s] = latest[s];
        }
        if (lines.empty()) continue;
        if (time == start_) out += "#" + std::to_string(time) + "\n$dumpvars\n" + lines + "$end\n";
        else out += "#" + std::to_string(time) + "\n" + lines;
        last = time;
    }
    if (end > last) out += "#" + std::to_string(end) + "\n";
    return out;
}

}  // namespace sim

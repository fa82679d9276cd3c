// A logic analyser on every adapter's connector: the display data channel's two wires as they
// carry them (the open-drain AND of what the chip and the monitor drive), the horizontal and
// vertical sync outputs as the CRTC drives them, and the power state the monitor takes from them,
// on the machine's clock, written as a Value Change Dump (IEEE 1364) with 1 ns resolution.
//
// The wires are recorded at every change. The sync outputs are recorded after each change of what
// the CRTC generates (a mode set, a power change) for WaveSyncFrames frames (at most
// WaveSyncMaxNanoseconds) and on to the end of a pulse in progress; after that the capture shows
// them at rest until the next change, so that a long run's file stays small.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/display_monitor.h"
#include "devices/i2c_bus.h"
#include "devices/sync_generator.h"

namespace sim {

class Bus;

constexpr unsigned WaveSyncFrames = 3;
constexpr uint64_t WaveSyncMaxNanoseconds = 100'000'000;

// What the CRTC generates, as the capture compares it: each output's pulses, or none.
struct SyncShape {
    bool hRunning = false;
    bool vRunning = false;
    bool hNegative = false;
    bool vNegative = false;
    PulseTrain h;
    PulseTrain v;
    bool operator==(const SyncShape&) const = default;
};
SyncShape ShapeOf(const SyncOutputs& sync);

class WaveCapture {
public:
    // Starts recording the bus's boards from the bus's time, and attaches to the bus.
    explicit WaveCapture(Bus& bus);
    ~WaveCapture();
    WaveCapture(const WaveCapture&) = delete;
    WaveCapture& operator=(const WaveCapture&) = delete;

    // The bus's calls: the chips may have changed since the last look (now is the time of the
    // change: the bus looks before its clock moves on); a run the machine will undo starts or ends.
    void Look(uint64_t now);
    void SetPaused(bool paused) { paused_ = paused; }
    WireWatcher* WatcherOf(int board) { return boards_.at(board)->probe.get(); }

    // When the sync outputs of the latest change are recorded to: a run that ends may let the
    // capture go on to there.
    uint64_t SyncRecordedUntil() const;
    // Ends the capture at `end` (not before the bus's time) and returns it as a Value Change Dump.
    std::string Finish(uint64_t end);

private:
    enum Signal { Clock, Data, Hsync, Vsync, PowerOn, PowerStandBy, PowerSuspend, PowerOff, SignalsPerBoard };
    struct Change {
        uint64_t time;
        uint16_t signal;
        bool level;
    };
    struct Probe : WireWatcher {
        Probe(WaveCapture& capture, int board) : capture(capture), board(board) {}
        void WiresChanged(uint64_t timeNs, bool clock, bool data) override;
        WaveCapture& capture;
        int board;
    };
    // One board: what was last seen of its chip, and the sync outputs being recorded.
    struct BoardWave {
        std::unique_ptr<Probe> probe;
        uint64_t generation = 0;
        bool powered = true;
        SyncShape shape;
        uint64_t since = 0;   // when the CRTC began generating `shape`
        uint64_t until = 0;   // the end of its recording
        bool hLevel = false;
        bool vLevel = false;
        MonitorPower power = MonitorPower::Absent;
    };

    void Record(int board, Signal signal, uint64_t time, bool level);
    void LookAt(int board, uint64_t now, bool first);
    void RecordPower(int board, uint64_t time, MonitorPower power);
    void StartSync(int board, uint64_t time, const SyncShape& shape);
    void EndSync(int board, uint64_t time);
    std::string Dump(uint64_t end) const;

    Bus& bus_;
    uint64_t start_ = 0;
    bool paused_ = false;
    std::vector<std::unique_ptr<BoardWave>> boards_;
    std::vector<Change> changes_;
};

}  // namespace sim

#include "devices/display_monitor.h"

#include <cstring>

namespace sim {

namespace {

constexpr size_t EdidBlock = 128;

// A detailed timing descriptor: pixel clock in kHz, then active, blanking, sync offset and width
// per direction, the image size in mm, and the sync flags (0x1E: separate, both positive).
void PutDetailedTiming(std::vector<uint8_t>& e, size_t at, unsigned clockKHz, unsigned hActive, unsigned hBlank,
                       unsigned hSyncOffset, unsigned hSyncWidth, unsigned vActive, unsigned vBlank,
                       unsigned vSyncOffset, unsigned vSyncWidth, unsigned widthMm, unsigned heightMm) {
    unsigned clock = clockKHz / 10;
    uint8_t bytes[18] = {
        static_cast<uint8_t>(clock & 0xFF), static_cast<uint8_t>(clock >> 8),
        static_cast<uint8_t>(hActive & 0xFF), static_cast<uint8_t>(hBlank & 0xFF),
        static_cast<uint8_t>((hActive >> 8) << 4 | (hBlank >> 8)),
        static_cast<uint8_t>(vActive & 0xFF), static_cast<uint8_t>(vBlank & 0xFF),
        static_cast<uint8_t>((vActive >> 8) << 4 | (vBlank >> 8)),
        static_cast<uint8_t>(hSyncOffset & 0xFF), static_cast<uint8_t>(hSyncWidth & 0xFF),
        static_cast<uint8_t>((vSyncOffset & 0xF) << 4 | (vSyncWidth & 0xF)),
        static_cast<uint8_t>((hSyncOffset >> 8) << 6 | (hSyncWidth >> 8) << 4 | (vSyncOffset >> 4) << 2 | (vSyncWidth >> 4)),
        static_cast<uint8_t>(widthMm & 0xFF), static_cast<uint8_t>(heightMm & 0xFF),
        static_cast<uint8_t>((widthMm >> 8) << 4 | (heightMm >> 8)), 0, 0, 0x1E,
    };
    std::memcpy(&e[at], bytes, sizeof bytes);
}

// A display descriptor carrying text (name 0xFC, serial 0xFF): ended by a line feed, padded with spaces.
void PutText(std::vector<uint8_t>& e, size_t at, uint8_t tag, const char* text) {
    e[at + 3] = tag;
    size_t length = std::strlen(text);
    for (size_t i = 0; i < 13; ++i) e[at + 5 + i] = i < length ? static_cast<uint8_t>(text[i]) : i == length ? 0x0A : 0x20;
}

}  // namespace

std::vector<uint8_t> BuiltinEdid() {
    std::vector<uint8_t> e(EdidBlock, 0);
    const uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::memcpy(e.data(), header, sizeof header);
    // Manufacturer "ZRN" (three 5-bit letters, big-endian), product 0x1701, serial 1, week 10 of 2000.
    unsigned maker = ('Z' - '@') << 10 | ('R' - '@') << 5 | ('N' - '@');
    e[8] = static_cast<uint8_t>(maker >> 8);
    e[9] = static_cast<uint8_t>(maker & 0xFF);
    e[10] = 0x01;
    e[11] = 0x17;
    e[12] = 0x01;
    e[16] = 10;
    e[17] = 2000 - 1990;
    e[18] = 1;
    e[19] = 3;
    e[20] = 0x08;   // analog input, separate syncs
    e[21] = 32;     // cm
    e[22] = 24;
    e[23] = 120;    // gamma 2.20
    e[24] = 0xEA;   // stand-by, suspend and off; RGB colour; the first timing is preferred
    const uint8_t colour[] = {0xEE, 0x95, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54};   // sRGB primaries
    std::memcpy(&e[25], colour, sizeof colour);
    e[35] = 0xA5;   // 720x400 at 70 Hz, 640x480 at 60 and 75 Hz, 800x600 at 60 Hz
    e[36] = 0x4A;   // 800x600 at 75 Hz, 1024x768 at 60 and 75 Hz
    const uint8_t standard[16] = {0x71, 0x4F, 0x81, 0x80, 0x01, 0x01, 0x01, 0x01,   // 1152x864@75, 1280x1024@60
                                  0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
    std::memcpy(&e[38], standard, sizeof standard);
    PutDetailedTiming(e, 54, 78750, 1024, 288, 16, 96, 768, 32, 1, 3, 320, 240);
    PutText(e, 72, 0xFC, "ZARN VIEW 17");
    const uint8_t range[] = {0, 0, 0, 0xFD, 0, 50, 120, 30, 70, 14, 0x00, 0x0A, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    std::memcpy(&e[90], range, sizeof range);
    PutText(e, 108, 0xFF, "ZV17-0000001");
    uint8_t sum = 0;
    for (size_t i = 0; i < EdidBlock - 1; ++i) sum = static_cast<uint8_t>(sum + e[i]);
    e[EdidBlock - 1] = static_cast<uint8_t>(0x100 - sum);
    return e;
}

std::string CheckEdidImage(const std::vector<uint8_t>& edid) {
    if (edid.size() != EdidBlock && edid.size() != 2 * EdidBlock) {
        return "an EDID image is 128 bytes, or 256 with an extension block (this one is " +
               std::to_string(edid.size()) + ")";
    }
    return "";
}

MonitorPower DecideMonitorPower(bool present, const SyncOutputs& sync) {
    if (!present) return MonitorPower::Absent;
    if (sync.hsync && sync.vsync) return MonitorPower::On;
    if (sync.vsync) return MonitorPower::StandBy;
    if (sync.hsync) return MonitorPower::Suspend;
    return MonitorPower::Off;
}

const char* MonitorPowerName(MonitorPower power) {
    switch (power) {
    case MonitorPower::Absent: return "no monitor";
    case MonitorPower::On: return "on";
    case MonitorPower::StandBy: return "stand-by";
    case MonitorPower::Suspend: return "suspend";
    case MonitorPower::Off: return "off";
    }
    return "?";
}

DisplayMonitor::DisplayMonitor(const MonitorConfig& config)
    : present_(config.present), source_(config.source), fault_(config.present ? config.fault : MonitorFault::None) {
    if (!present_) return;
    std::vector<uint8_t> edid = config.edid.empty() ? BuiltinEdid() : config.edid;
    if (fault_ == MonitorFault::BadChecksum) edid[EdidBlock - 1] = static_cast<uint8_t>(edid[EdidBlock - 1] + 1);
    eeprom_ = EdidEeprom(std::move(edid));
    if (fault_ == MonitorFault::DataLineLow) bus_.HoldDataLow(true, Device());
    if (fault_ == MonitorFault::ClockLineLow) bus_.HoldClockLow(true, Device());
    if (fault_ == MonitorFault::StretchesClock) bus_.SetStretch(MonitorStretchNanoseconds);
    if (fault_ == MonitorFault::MissesFirstTransaction) eeprom_.StartInTransmitOnlyMode();
}

I2cDevice& DisplayMonitor::Device() {
    if (!present_ || fault_ == MonitorFault::NoAnswer) return nothing_;
    return eeprom_;
}

void DisplayMonitor::KeepSample(uint64_t timeNs) { samples_.push_back(LineSample{timeNs, bus_.Clock(), bus_.Data()}); }

void DisplayMonitor::DriveLines(bool clock, bool data, uint64_t now) {
    bus_.Advance(now, Device());
    bus_.SetMasterLines(clock, data, Device());
}

}  // namespace sim

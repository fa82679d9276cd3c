#include "devices/edid_eeprom.h"

namespace sim {

bool EdidEeprom::Select(uint8_t address, bool read) {
    if (transmitOnly_) {
        transmitOnly_ = false;
        return false;
    }
    if (address != Address || contents_.empty()) return false;
    offsetNext_ = !read;
    return true;
}

// The memory is write-protected: bytes after the offset are acknowledged and dropped.
bool EdidEeprom::Write(uint8_t byte) {
    if (offsetNext_) offset_ = byte % contents_.size();
    offsetNext_ = false;
    return true;
}

uint8_t EdidEeprom::Read() {
    uint8_t byte = contents_[offset_];
    offset_ = (offset_ + 1) % contents_.size();
    return byte;
}

}  // namespace sim

#include "wave_file.h"

#include <stdexcept>

#include "support/file_save.h"
#include "support/untrusted_text.h"

namespace zarnsim {

void WaveFile::Start(const std::string& path) {
    if (machine_.WaveRunning()) {
        throw std::invalid_argument("a capture to '" + sim::TerminalText(path_) + "' is running (wave off ends it)");
    }
    std::string error;
    if (!sim::CheckSaveTarget(path, sim::SavePolicy{}, &error)) throw std::invalid_argument(error);
    path_ = path;
    machine_.StartWave();
}

std::string WaveFile::Stop(bool runOn) {
    if (!machine_.WaveRunning()) return "";
    std::string error;
    if (!sim::SaveFile(path_, machine_.StopWave(runOn), sim::SavePolicy{}, &error)) return error;
    return "";
}

}  // namespace zarnsim

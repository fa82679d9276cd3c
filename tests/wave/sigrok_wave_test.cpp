// The capture of the connectors (`--wave`) read by an independent decoder, Debian's sigrok-cli: its
// I2C and EDID decoders find the monitor's bytes with the acknowledges the bus saw, its timing
// decoder finds the periods and sync widths that `zarnsim timings` reports, and the monitor's
// faults show on the wires.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "../cli_runner.h"
#include "../edid_files.h"

namespace {

using clirunner::Json;
using clirunner::Outcome;

// sigrok-cli reading a capture, with the decoder options given; its standard output.
std::string Sigrok(const std::string& vcd, const std::string& decoders) {
    if (std::string(SIGROK_CLI).empty()) {
        ADD_FAILURE() << "sigrok-cli is not installed (make deps installs it)";
        return "";
    }
    std::string command = std::string(SIGROK_CLI) + " -I vcd -i '" + vcd + "' " + decoders + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[1 << 16];
    for (size_t got; pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
    int status = pipe ? pclose(pipe) : -1;
    EXPECT_EQ(status, 0) << command << "\n" << out.substr(0, 2000);
    return out;
}

// A capture of zarnsim run with `arguments` (the command and its options); the file's path.
std::string Capture(const std::string& arguments) {
    static int count = 0;
    const std::string path = clirunner::TempPath("wave" + std::to_string(++count) + ".vcd");
    Outcome run = clirunner::RunZarnsim(arguments + " --wave '" + path + "'");
    EXPECT_EQ(run.exitCode, 0) << arguments << "\n" << run.err;
    return path;
}

// What the I2C decoder saw, one word per event: S start, Sr repeated start, P stop, A acknowledge,
// N no acknowledge, AW50/AR50 an address for writing or reading, W00/RFF a byte written or read.
std::vector<std::string> I2cEvents(const std::string& vcd) {
    const std::string out = Sigrok(vcd, "-P i2c:scl=scl0:sda=sda0 -A i2c=start:repeat-start:stop:ack:nack:"
                                        "address-read:address-write:data-read:data-write");
    static const std::regex line(R"(i2c-1: (Start repeat|Start|Stop|ACK|NACK|Address (read|write): ([0-9A-F]{2})|Data (read|write): ([0-9A-F]{2})))");
    std::vector<std::string> events;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        if (m[1] == "Start") events.push_back("S");
        else if (m[1] == "Start repeat") events.push_back("Sr");
        else if (m[1] == "Stop") events.push_back("P");
        else if (m[1] == "ACK") events.push_back("A");
        else if (m[1] == "NACK") events.push_back("N");
        else if (m[2].matched) events.push_back(std::string(m[2] == "read" ? "AR" : "AW") + m[3].str());
        else events.push_back(std::string(m[4] == "read" ? "R" : "W") + m[5].str());
    }
    return events;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += word + " ";
    return text;
}

std::string HexByte(uint8_t byte) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

std::string LowerHex(uint8_t byte) {
    char text[4];
    std::snprintf(text, sizeof text, "%02x", byte);
    return text;
}

// A read of the monitor's memory from offset 0 as the bus carries it: every byte acknowledged by
// the master but the last, then a stop.
std::string EdidRead(const std::vector<uint8_t>& edid, size_t count) {
    std::string text = "S AW50 A W00 A Sr AR50 A ";
    for (size_t i = 0; i < count; ++i) text += "R" + HexByte(edid[i]) + (i + 1 < count ? " A " : " N ");
    return text + "P ";
}

constexpr size_t BaseBlock = 128;
constexpr uint64_t StretchNs = 100000;   // how long a monitor with monitorfault=stretch holds the clock

// --- The monitor's bytes on the wires -----------------------------------------------------------

struct EdidCase {
    unsigned device;
    const char* edid;
};

class EdidOnTheWires : public testing::TestWithParam<EdidCase> {};

TEST_P(EdidOnTheWires, DecodeToTheMonitorsBytesWithEveryAcknowledge) {
    const std::vector<uint8_t> edid = edidfiles::Read(GetParam().edid);
    ASSERT_GE(edid.size(), BaseBlock);
    const std::string vcd = Capture("--adapter device=" + std::to_string(GetParam().device) +
                                    ",monitor=" + edidfiles::PathOf(GetParam().edid) + " monitor");
    const std::string events = Joined(I2cEvents(vcd));
    EXPECT_NE(events.find(EdidRead(edid, BaseBlock)), std::string::npos) << events.substr(0, 600);

    const std::string fields = Sigrok(vcd, "-P i2c:scl=scl0:sda=sda0,edid -A edid");
    const unsigned maker = edid[8] << 8 | edid[9];
    const std::string letters = {static_cast<char>('@' + (maker >> 10 & 31)), static_cast<char>('@' + (maker >> 5 & 31)),
                                 static_cast<char>('@' + (maker & 31))};
    for (const std::string& field : {"edid-1: " + letters + "\n", "Product 0x" + LowerHex(edid[11]) + LowerHex(edid[10]),
                                     "Checksum: " + std::to_string(edid[127]) + " (OK)"}) {
        EXPECT_NE(fields.find(field), std::string::npos) << field << " in\n" << fields.substr(0, 2000);
    }
    std::remove(vcd.c_str());
}

std::vector<EdidCase> EdidCases() {
    std::vector<EdidCase> cases;
    for (unsigned device : {3u, 4u, 5u}) {
        for (const char* name : edidfiles::names) cases.push_back({device, name});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, EdidOnTheWires, testing::ValuesIn(EdidCases()),
                         [](const testing::TestParamInfo<EdidCase>& info) {
                             std::string name = "device" + std::to_string(info.param.device) + "_" + info.param.edid;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// --- Edges, as the timing decoder finds them ----------------------------------------------------

// The rising and the falling edges of each channel, in nanoseconds from the start of the capture
// (the capture runs at 1 GHz, one sample a nanosecond).
struct Edges {
    std::vector<uint64_t> rising;
    std::vector<uint64_t> falling;
};

std::vector<Edges> EdgesOf(const std::string& vcd, const std::vector<std::string>& channels) {
    std::string decoders;
    for (const std::string& channel : channels) {
        decoders += " -P timing:data=" + channel + ":edge=rising -P timing:data=" + channel + ":edge=falling";
    }
    const std::string out = Sigrok(vcd, decoders + " -A timing=time --protocol-decoder-samplenum");
    std::vector<std::vector<uint64_t>> lists(2 * channels.size());
    static const std::regex line(R"((\d+)-(\d+) timing-(\d+): )");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        std::vector<uint64_t>& list = lists.at(std::stoul((*it)[3]) - 1);
        // Each measurement runs from one edge to the next: the first one's start is an edge too.
        if (list.empty()) list.push_back(std::stoull((*it)[1]));
        list.push_back(std::stoull((*it)[2]));
    }
    std::vector<Edges> edges;
    for (size_t i = 0; i < channels.size(); ++i) edges.push_back({lists[2 * i], lists[2 * i + 1]});
    return edges;
}

// The pulses of one output, each from a leading to the following trailing edge.
struct Pulse {
    uint64_t start;
    uint64_t width;
};

std::vector<Pulse> PulsesOf(const Edges& edges, bool negative) {
    const std::vector<uint64_t>& leading = negative ? edges.falling : edges.rising;
    const std::vector<uint64_t>& trailing = negative ? edges.rising : edges.falling;
    std::vector<Pulse> pulses;
    for (uint64_t start : leading) {
        auto end = std::upper_bound(trailing.begin(), trailing.end(), start);
        if (end != trailing.end()) pulses.push_back({start, *end - start});
    }
    return pulses;
}

// --- The sync outputs against `zarnsim timings` -------------------------------------------------

struct ModeCase {
    unsigned device;
    unsigned width, height, bitsPerPixel, hz;
};

std::string ModeText(const ModeCase& mode) {
    return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "x" + std::to_string(mode.bitsPerPixel) + "@" +
           std::to_string(mode.hz);
}

// The entry `zarnsim timings` gives for the mode.
Json TimingOf(const ModeCase& mode) {
    Outcome run = clirunner::RunZarnsim("--json --adapter device=" + std::to_string(mode.device) + " timings");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const Json report = clirunner::JsonOf(run.out);
    for (const Json& entry : report["adapters"][0]["timings"]) {
        if (entry["declaredWidth"] == mode.width && entry["declaredHeight"] == mode.height &&
            entry["declaredBitsPerPixel"] == mode.bitsPerPixel && entry["declaredHz"] == mode.hz) {
            return entry;
        }
    }
    ADD_FAILURE() << "zarnsim timings has no " << ModeText(mode);
    return Json();
}

class SyncOnTheWires : public testing::TestWithParam<ModeCase> {};

// After the mode set the capture holds whole frames of the mode's sync: the last pulses of each
// output are the mode's, whatever came before them.
TEST_P(SyncOnTheWires, HasThePeriodsAndWidthsOfZarnsimTimings) {
    const ModeCase& mode = GetParam();
    const Json timing = TimingOf(mode);
    ASSERT_TRUE(timing.is_object());
    const double pixelNs = 1e9 / timing["pixelClockHz"].get<double>();
    const double lineNs = timing["hTotal"].get<double>() * pixelNs;
    struct Output {
        const char* channel;
        bool negative;
        double periodNs, widthNs;
        size_t pulses;   // how many of the last pulses to measure
    };
    const Output outputs[] = {
        {"hsync0", timing["hsyncPolarity"] == "-", lineNs,
         (timing["hSyncEnd"].get<double>() - timing["hSyncStart"].get<double>()) * pixelNs, 100},
        {"vsync0", timing["vsyncPolarity"] == "-", timing["vTotal"].get<double>() * lineNs,
         (timing["vSyncEnd"].get<double>() - timing["vSyncStart"].get<double>()) * lineNs, 2},
    };

    const std::string vcd = Capture("--adapter device=" + std::to_string(mode.device) + " run --mode " + ModeText(mode));
    const std::vector<Edges> edges = EdgesOf(vcd, {outputs[0].channel, outputs[1].channel});
    for (size_t o = 0; o < 2; ++o) {
        const Output& output = outputs[o];
        std::vector<Pulse> pulses = PulsesOf(edges[o], output.negative);
        ASSERT_GT(pulses.size(), output.pulses) << output.channel;
        for (size_t i = pulses.size() - output.pulses; i < pulses.size(); ++i) {
            EXPECT_NEAR(static_cast<double>(pulses[i].start - pulses[i - 1].start), output.periodNs, pixelNs)
                << output.channel << " period before the pulse at " << pulses[i].start;
            EXPECT_NEAR(static_cast<double>(pulses[i].width), output.widthNs, pixelNs)
                << output.channel << " width of the pulse at " << pulses[i].start;
        }
    }
    std::remove(vcd.c_str());
}

// Every depth, both sync polarities, every adapter kind, and the fastest pixel clock.
const ModeCase modeCases[] = {
    {5, 640, 480, 8, 60},   {5, 800, 600, 16, 75},  {5, 1024, 768, 24, 70},
    {5, 1280, 1024, 24, 100}, {4, 800, 600, 8, 120}, {3, 1024, 768, 16, 60},
};

INSTANTIATE_TEST_SUITE_P(Cases, SyncOnTheWires, testing::ValuesIn(modeCases),
                         [](const testing::TestParamInfo<ModeCase>& info) {
                             const ModeCase& m = info.param;
                             return "device" + std::to_string(m.device) + "_" + std::to_string(m.width) + "x" +
                                    std::to_string(m.height) + "x" + std::to_string(m.bitsPerPixel) + "_" +
                                    std::to_string(m.hz) + "Hz";
                         });

// --- The monitor's faults on the wires ----------------------------------------------------------

struct FaultCase {
    const char* name;
    const char* items;       // added to the adapter's description
    bool firstAcknowledged;  // the first address byte on the bus is acknowledged
    bool clockStuckLow;      // the clock never rises: nothing decodes, while the data line moves
    bool stretched;          // the clock stays low 100 us after every acknowledged byte
};

class FaultOnTheWires : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultOnTheWires, ShowsAsItShould) {
    const FaultCase& fault = GetParam();
    const char* name = edidfiles::names[0];
    const std::vector<uint8_t> edid = edidfiles::Read(name);
    const std::string vcd = Capture("--adapter monitor=" + edidfiles::PathOf(name) + fault.items + " monitor");
    const std::vector<std::string> events = I2cEvents(vcd);
    const std::vector<Edges> edges = EdgesOf(vcd, {"scl0"});

    if (fault.clockStuckLow) {
        // sigrok's own dump of the clock channel: low from the start, never changing.
        const std::string clock = Sigrok(vcd, "-C scl0 -O vcd");
        EXPECT_NE(clock.find("#0 0!"), std::string::npos) << clock;
        EXPECT_TRUE(edges[0].rising.empty() && edges[0].falling.empty());
        EXPECT_TRUE(events.empty()) << Joined(events);
        std::remove(vcd.c_str());
        return;
    }
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(Joined({events[0], events[1], events[2]}), std::string("S AW50 ") + (fault.firstAcknowledged ? "A " : "N "));
    EXPECT_NE(Joined(events).find(EdidRead(edid, BaseBlock)), std::string::npos) << Joined(events).substr(0, 600);

    // The clock's low times, from each falling edge to the next rising one, that a stretch makes:
    // from 100 us, the monitor's, to the 1 ms a master waits for the clock. The monitor lets the
    // clock go when its 100 us are up, not when the master looks next.
    size_t stretches = 0;
    for (uint64_t fall : edges[0].falling) {
        auto rise = std::upper_bound(edges[0].rising.begin(), edges[0].rising.end(), fall);
        if (rise == edges[0].rising.end() || *rise - fall < StretchNs || *rise - fall > 1000000) continue;
        ++stretches;
        EXPECT_EQ(*rise - fall, StretchNs) << "the clock low from " << fall;
    }
    const size_t acknowledged = std::count(events.begin(), events.end(), "A");
    EXPECT_EQ(stretches, fault.stretched ? acknowledged : 0u);
    std::remove(vcd.c_str());
}

const FaultCase faultCases[] = {
    {"none", "", true, false, false},
    // The strict helper gives up at a stretched clock; the tolerant one waits and reads the monitor.
    {"stretch", ",monitorfault=stretch,ddchelper=tolerant", true, false, true},
    {"clocklow", ",monitorfault=clocklow", false, true, false},
    {"firstmiss", ",monitorfault=firstmiss,ddcattempts=2", false, false, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, FaultOnTheWires, testing::ValuesIn(faultCases),
                         [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace

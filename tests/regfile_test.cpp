// The registry as REGEDIT4 text: round trips, what hand-written files mean, how bad files are
// refused, and how files are read and replaced.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/regfile.h"
#include "kernel/registry.h"
#include "machine/machine.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string Key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zarn\\Device0";

// Everything a registry holds, in order, as text that a failed comparison prints readably.
std::string Describe(const sim::Registry& registry) {
    std::ostringstream out;
    for (const sim::RegKey& key : registry.Keys()) {
        out << "[" << key.path << "]\n";
        for (const sim::RegValue& value : key.values) {
            out << "  \"" << value.name << "\" type " << value.type << ":";
            for (uint8_t byte : value.data) {
                char hex[4];
                std::snprintf(hex, sizeof hex, " %02x", byte);
                out << hex;
            }
            out << "\n";
        }
    }
    return out.str();
}

Bytes Utf16(const std::string& text) { return sim::Utf16Bytes(text); }

Bytes Counting(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

sim::Registry SampleRegistry() {
    sim::Registry registry;
    registry.SetString(Key, "DeviceDescription", "Zarn Mistral Corvid");
    registry.SetDword(Key, "DefaultSettings.XResolution", 1024);
    registry.SetValue(Key, "HardwareInformation.ChipType", sim::regtype::Binary, Counting(40));
    registry.CreateKey("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zarn\\Empty");
    registry.SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn", "", sim::regtype::Sz, Utf16("default"));
    return registry;
}

// A directory of its own for one test, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "regfile_test.XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Every file below a directory with its contents.
std::map<std::string, std::string> Snapshot(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        std::string name = entry.path().lexically_relative(directory).string();
        files[name] = entry.is_regular_file() ? ReadFile(entry.path()) : "<directory>";
    }
    return files;
}

// ---- Round trips ----

struct ValueCase {
    const char* label;
    std::string name;
    uint32_t type;
    Bytes data;
    std::string written;  // the start of the value's line in the saved text
};

TEST(RegFileRoundTrip, EveryKindOfValueReadsBackWithItsNameTypeAndBytes) {
    const ValueCase cases[] = {
        {"text", "DeviceDescription", sim::regtype::Sz, Utf16("Zarn Mistral 3"),
         "\"DeviceDescription\"=\"Zarn Mistral 3\""},
        {"empty text", "Empty", sim::regtype::Sz, Utf16(""), "\"Empty\"=\"\""},
        {"text with quotes and backslashes", "Path", sim::regtype::Sz, Utf16("C:\\WINNT \"x\" \\\\"),
         "\"Path\"=\"C:\\\\WINNT \\\"x\\\" \\\\\\\\\""},
        {"Latin-1 text", "Cafe", sim::regtype::Sz, Utf16("caf\xE9 \xA0\xFF"), "\"Cafe\"=\"caf\xE9 \xA0\xFF\""},
        {"text with a tab", "Tab", sim::regtype::Sz, Utf16("a\tb"), "\"Tab\"=\"a\tb\""},
        {"text without terminator", "NoEnd", sim::regtype::Sz, {'a', 0, 'b', 0}, "\"NoEnd\"=hex(1):61,00,62,00"},
        {"text with two terminators", "TwoEnds", sim::regtype::Sz, {'a', 0, 0, 0, 0, 0}, "\"TwoEnds\"=hex(1):"},
        {"text with a zero inside", "Inner", sim::regtype::Sz, {'a', 0, 0, 0, 'b', 0, 0, 0}, "\"Inner\"=hex(1):"},
        {"text of odd length", "Odd", sim::regtype::Sz, {'a', 0, 0}, "\"Odd\"=hex(1):61,00,00"},
        {"text of no bytes", "NoBytes", sim::regtype::Sz, {}, "\"NoBytes\"=hex(1):"},
        {"text with a line break", "Lines", sim::regtype::Sz, Utf16("one\r\ntwo"), "\"Lines\"=hex(1):"},
        {"text beyond Latin-1", "Euro", sim::regtype::Sz, {0xAC, 0x20, 0, 0}, "\"Euro\"=hex(1):ac,20,00,00"},
        {"text with a control character", "Bell", sim::regtype::Sz, {7, 0, 0, 0}, "\"Bell\"=hex(1):"},
        {"dword", "Count", sim::regtype::Dword, {0x2a, 0, 0, 0}, "\"Count\"=dword:0000002a"},
        {"dword all ones", "Max", sim::regtype::Dword, {0xff, 0xff, 0xff, 0xff}, "\"Max\"=dword:ffffffff"},
        {"dword byte order", "Order", sim::regtype::Dword, {0x78, 0x56, 0x34, 0x12}, "\"Order\"=dword:12345678"},
        {"dword of 3 bytes", "Short", sim::regtype::Dword, {1, 2, 3}, "\"Short\"=hex(4):01,02,03"},
        {"dword of no bytes", "None", sim::regtype::Dword, {}, "\"None\"=hex(4):"},
        {"dword of 8 bytes", "Long", sim::regtype::Dword, Counting(8), "\"Long\"=hex(4):"},
        {"binary", "Blob", sim::regtype::Binary, {0x01, 0x02, 0xff}, "\"Blob\"=hex:01,02,ff"},
        {"empty binary", "EmptyBlob", sim::regtype::Binary, {}, "\"EmptyBlob\"=hex:"},
        {"1024-byte binary", "Big", sim::regtype::Binary, Counting(1024), "\"Big\"=hex:03,0a,11,"},
        {"multi-string", "List", sim::regtype::MultiSz, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0},
         "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00"},
        {"expandable text", "Expand", sim::regtype::ExpandSz, Utf16("%SystemRoot%"), "\"Expand\"=hex(2):25,00"},
        {"type 0 empty", "Nothing", sim::regtype::None, {}, "\"Nothing\"=hex(0):"},
        {"type 0 with bytes", "Something", sim::regtype::None, {9}, "\"Something\"=hex(0):09"},
        {"quadword", "Q", 11, Counting(8), "\"Q\"=hex(b):"},
        {"largest type number", "Odd type", 0xffffffff, {1}, "\"Odd type\"=hex(ffffffff):01"},
        {"default value", "", sim::regtype::Sz, Utf16("the default"), "@=\"the default\""},
        {"name with quotes", "say \"hi\"", sim::regtype::Dword, {1, 0, 0, 0}, "\"say \\\"hi\\\"\"=dword:00000001"},
        {"name with backslashes", "a\\b\\", sim::regtype::Dword, {2, 0, 0, 0}, "\"a\\\\b\\\\\"=dword:00000002"},
        {"name that is an at sign", "@", sim::regtype::Dword, {3, 0, 0, 0}, "\"@\"=dword:00000003"},
        {"name with spaces, = and [", " [x] = y ", sim::regtype::Dword, {4, 0, 0, 0}, "\" [x] = y \"=dword:00000004"},
        {"name with Latin-1", "Gr\xF6\xDF" "e", sim::regtype::Dword, {5, 0, 0, 0}, "\"Gr\xF6\xDF" "e\"=dword:00000005"},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.label);
        sim::Registry registry;
        registry.SetValue(Key, c.name, c.type, c.data);
        std::string text = sim::SaveRegFile(registry);
        EXPECT_NE(text.find("\r\n" + c.written), std::string::npos) << text;

        sim::Registry loaded;
        std::string error;
        ASSERT_TRUE(sim::LoadRegFile(text, loaded, &error)) << error << "\n" << text;
        EXPECT_EQ(Describe(loaded), Describe(registry)) << text;
    }
}

TEST(RegFileRoundTrip, WholeRegistryKeepsKeyOrderValueOrderAndKeysWithoutValues) {
    sim::Registry registry = SampleRegistry();
    registry.CreateKey("HKEY_USERS\\.DEFAULT\\Nothing here");
    registry.SetDword("\\Registry\\Machine\\SYSTEM\\Late", "z", 1);
    registry.SetDword("\\Registry\\Machine\\SYSTEM\\Late", "a", 2);
    std::string text = sim::SaveRegFile(registry);

    sim::Registry loaded;
    std::string error;
    ASSERT_TRUE(sim::LoadRegFile(text, loaded, &error)) << error;
    EXPECT_EQ(Describe(loaded), Describe(registry)) << text;
    EXPECT_EQ(sim::SaveRegFile(loaded), text);

    std::vector<std::string> lines = SplitLines(text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "REGEDIT4");
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zarn\\Empty]\r\n\r\n"),
              std::string::npos)
        << text;
}

TEST(RegFileRoundTrip, EmptyRegistryReadsBackEmpty) {
    sim::Registry loaded;
    std::string error;
    ASSERT_TRUE(sim::LoadRegFile(sim::SaveRegFile(sim::Registry()), loaded, &error)) << error;
    EXPECT_TRUE(loaded.Keys().empty());
}

// ---- Saving ----

TEST(RegFileSave, LongHexListsWrapAsTheRegistryEditorWrapsThem) {
    struct Case {
        const char* label;
        std::string name;
        uint32_t type;
        size_t size;
    };
    const Case cases[] = {
        {"binary", "Big", sim::regtype::Binary, 1024},
        {"other type", "Multi", sim::regtype::MultiSz, 300},
        {"name longer than a line", std::string(100, 'n'), sim::regtype::Binary, 200},
        {"just past one line", "B", sim::regtype::Binary, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::Registry registry;
        registry.SetValue(Key, c.name, c.type, Counting(c.size));
        std::string text = sim::SaveRegFile(registry);
        std::vector<std::string> lines = SplitLines(text);
        std::string start = "\"" + c.name + "\"=";
        size_t first = 0;
        while (first < lines.size() && lines[first].compare(0, start.size(), start) != 0) ++first;
        ASSERT_LT(first, lines.size()) << text;

        size_t last = first;
        while (last < lines.size() && !lines[last].empty() && lines[last].back() == '\\') ++last;
        ASSERT_LT(last, lines.size()) << text;
        EXPECT_GT(last, first) << "the list should span more than one line:\n" << text;
        for (size_t i = first; i <= last; ++i) {
            const std::string& line = lines[i];
            if (i > first) {
                EXPECT_EQ(line.substr(0, 3).find_first_not_of(' '), 2u) << line;
            }
            if (i < last) {
                EXPECT_EQ(line.substr(line.size() - 2), ",\\") << line;
                if (i > first || c.name.size() < 60) {
                    EXPECT_GE(line.size(), 76u) << line;
                    EXPECT_LE(line.size(), 80u) << line;
                }
            } else {
                EXPECT_LE(line.size(), 80u) << line;
            }
        }
        sim::Registry loaded;
        std::string error;
        ASSERT_TRUE(sim::LoadRegFile(text, loaded, &error)) << error;
        EXPECT_EQ(Describe(loaded), Describe(registry));
    }
}

TEST(RegFileSave, UnwritableNamesAreNamedByTheCheck) {
    struct Case {
        const char* label;
        sim::Registry registry;
        std::string mention;  // in the message, or empty when the registry can be written
    };
    Case cases[] = {
        {"ordinary registry", SampleRegistry(), ""},
        {"key outside every root", {}, "Somewhere"},
        {"key with an empty part", {}, "a\\\\\\\\b"},   // the backslashes escaped
        {"value name with a line break", {}, "two"},
    };
    cases[1].registry.CreateKey("Somewhere\\Else");
    cases[2].registry.CreateKey("HKEY_LOCAL_MACHINE\\a\\\\b");
    cases[3].registry.SetDword(Key, "one\ntwo", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string error;
        bool can = sim::CanSaveRegFile(c.registry, &error);
        EXPECT_EQ(can, c.mention.empty()) << error;
        if (!c.mention.empty()) {
            EXPECT_NE(error.find(c.mention), std::string::npos) << error;
        }
    }
}

// ---- Loading ----

TEST(RegFileLoad, HandWrittenTextMeansWhatTheRegistryEditorMakesOfIt) {
    struct Case {
        const char* label;
        std::string text;
        std::string key;
        std::string name;
        uint32_t type;
        Bytes data;
    };
    const std::string head = "REGEDIT4\n\n[" + Key + "]\n";
    const Case cases[] = {
        {"short dword", head + "\"v\"=dword:2a\n", Key, "v", sim::regtype::Dword, {0x2a, 0, 0, 0}},
        {"upper-case dword", head + "\"v\"=DWORD:DEADBEEF\n", Key, "v", sim::regtype::Dword, {0xef, 0xbe, 0xad, 0xde}},
        {"spaces around =", head + "\"v\" = dword:00000001  \n", Key, "v", sim::regtype::Dword, {1, 0, 0, 0}},
        {"CRLF line ends", "REGEDIT4\r\n\r\n[" + Key + "]\r\n\"v\"=\"x\"\r\n", Key, "v", sim::regtype::Sz, Utf16("x")},
        {"no line end at the end", head + "\"v\"=hex:01", Key, "v", sim::regtype::Binary, {1}},
        {"upper-case hex, one-digit bytes, spaces", head + "\"v\"=hex: A, 0b ,FF\n", Key, "v", sim::regtype::Binary,
         {0x0a, 0x0b, 0xff}},
        {"continued hex list", head + "\"v\"=hex(7):61,00,\\\n  62,00,\\\n\t00,00\n", Key, "v", sim::regtype::MultiSz,
         {0x61, 0, 0x62, 0, 0, 0}},
        {"list starting on the next line", head + "\"v\"=hex:\\\n  05\n", Key, "v", sim::regtype::Binary, {5}},
        {"empty hex list", head + "\"v\"=hex:\n", Key, "v", sim::regtype::Binary, {}},
        {"hex(3) is binary", head + "\"v\"=hex(3):07\n", Key, "v", sim::regtype::Binary, {7}},
        {"hex(4) is a dword", head + "\"v\"=hex(4):01,00,00,00\n", Key, "v", sim::regtype::Dword, {1, 0, 0, 0}},
        {"type in upper-case hex", head + "\"v\"=HEX(B):01\n", Key, "v", 11, {1}},
        {"default value", head + "@=\"d\"\n", Key, "", sim::regtype::Sz, Utf16("d")},
        {"empty name is the default value", head + "\"\"=dword:1\n", Key, "", sim::regtype::Dword, {1, 0, 0, 0}},
        {"escapes in name and text", head + "\"a\\\"b\\\\\"=\"c\\\\d\\\"\"\n", Key, "a\"b\\", sim::regtype::Sz,
         Utf16("c\\d\"")},
        {"semicolon inside text", head + "\"v\"=\"a;b\"\n", Key, "v", sim::regtype::Sz, Utf16("a;b")},
        {"comments and indented lines", "REGEDIT4\n; a comment\n  [" + Key + "]\n  ;x\n  \"v\"=dword:3\n",
         Key, "v", sim::regtype::Dword, {3, 0, 0, 0}},
        {"Latin-1 bytes without a byte order mark", head + "\"v\"=\"caf\xE9\"\n", Key, "v", sim::regtype::Sz,
         Utf16("caf\xE9")},
        {"UTF-8 after a byte order mark", "\xEF\xBB\xBF" + head + "\"\xC3\xA9t\xC3\xA9\"=\"caf\xC3\xA9\"\n", Key,
         "\xE9t\xE9", sim::regtype::Sz, Utf16("caf\xE9")},
        {"comment beyond Latin-1 after a byte order mark", "\xEF\xBB\xBF" + head + "; \xE2\x82\xAC\n\"v\"=dword:4\n",
         Key, "v", sim::regtype::Dword, {4, 0, 0, 0}},
        // Text is UTF-16 in the registry: any character, beyond the first 65,536 as a surrogate pair.
        {"text beyond Latin-1 after a byte order mark", "\xEF\xBB\xBF" + head + "\"v\"=\"\xE3\x81\x82\xF0\x9F\x98\x80\"\n",
         Key, "v", sim::regtype::Sz, {0x42, 0x30, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
        {"kernel form of the key", "REGEDIT4\n[\\Registry\\Machine\\SYSTEM\\K]\n\"v\"=dword:5\n",
         "HKEY_LOCAL_MACHINE\\SYSTEM\\K", "v", sim::regtype::Dword, {5, 0, 0, 0}},
        {"later line wins", head + "\"v\"=dword:1\n\"V\"=hex:09\n", Key, "v", sim::regtype::Binary, {9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::Registry registry;
        std::string error;
        ASSERT_TRUE(sim::LoadRegFile(c.text, registry, &error)) << error;
        const sim::RegValue* value = registry.GetValue(c.key, c.name);
        ASSERT_NE(value, nullptr) << Describe(registry);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
        ASSERT_NE(registry.FindKey(c.key), nullptr);
        EXPECT_EQ(registry.FindKey(c.key)->values.size(), 1u) << Describe(registry);
    }
}

TEST(RegFileLoad, MalformedLinesAreRefusedNamingTheirLine) {
    struct Case {
        const char* label;
        std::string text;
        int line;
        std::string mention;  // a word the message must hold
    };
    const std::string k = "[" + Key + "]\n";
    const std::string head = "REGEDIT4\n\n" + k;  // lines 1-3
    const Case cases[] = {
        {"missing header", k + "\"v\"=dword:1\n", 1, "REGEDIT4"},
        {"header after blank lines is wrong", "\n\nREGEDIT5\n", 3, "REGEDIT4"},
        {"only blank lines", "\n \n\t\n", 1, "REGEDIT4"},
        {"version 5 header", "Windows Registry Editor Version 5.00\n\n" + k, 1, "REGEDIT4"},
        {"UTF-16 text", std::string("\xFF\xFE", 2) + std::string("R\0E\0", 4), 1, "UTF-16"},
        {"comment before the header", "; hi\nREGEDIT4\n", 1, "REGEDIT4"},
        {"garbage line", head + "\"v\"=dword:1\nthis is not a line\n", 5, "this is not"},
        {"second header", head + "REGEDIT4\n", 4, "REGEDIT4"},
        {"unterminated string", head + "\"v\"=\"open\n", 4, "unterminated"},
        {"string ending in a backslash", head + "\"v\"=\"C:\\\n", 4, "unterminated"},
        {"unterminated name", head + "\"v=dword:1\n", 4, "unterminated"},
        {"unknown escape", head + "\"v\"=\"C:\\WINNT\"\n", 4, "escape"},
        {"text after the string", head + "\"v\"=\"a\" b\n", 4, "after"},
        {"missing =", head + "\"v\" dword:1\n", 4, "="},
        {"default without =", head + "@ \"x\"\n", 4, "="},
        {"no data", head + "\"v\"=\n", 4, "data"},
        {"unknown data", head + "\"v\"=42\n", 4, "42"},
        {"bad hex digit", head + "\"v\"=hex:01,0g\n", 4, "'g'"},
        {"bad hex digit on a continuation line", head + "\"v\"=hex:01,\\\n  02,\\\n  zz\n", 6, "'z'"},
        {"list continued by a key line", head + "\"v\"=hex:01,\\\n[" + Key + "]\n", 5, "'['"},
        {"byte of three digits", head + "\"v\"=hex:01,123\n", 4, "123"},
        {"two bytes without a comma", head + "\"v\"=hex:01 02\n", 4, "','"},
        {"empty byte", head + "\"v\"=hex:01,,02\n", 4, "missing byte"},
        {"list ending with a comma", head + "\"v\"=hex:01,02,\n", 4, "','"},
        {"continuation followed by a blank line", head + "\"v\"=hex:01,\\\n\n\"w\"=dword:1\n", 5, "','"},
        {"continuation at the end of the file", head + "\"v\"=hex:01,\\\n", 4, "end of the file"},
        {"continuation at the end after more lines", head + "\"v\"=hex:01,\\\n  02,\\\n  03,\\", 6,
         "end of the file"},
        {"dword with 9 digits", head + "\"v\"=dword:000000001\n", 4, "9"},
        {"dword without digits", head + "\"v\"=dword:\n", 4, "dword"},
        {"dword with a bad digit", head + "\"v\"=dword:12x4\n", 4, "'x'"},
        {"dword with a sign", head + "\"v\"=dword:-1\n", 4, "'-'"},
        {"continued dword", head + "\"v\"=dword:1\\\n  2\n", 4, "'\\\\'"},
        {"value before any key", "REGEDIT4\n\n\"v\"=dword:1\n" + k, 3, "before any key"},
        {"value after a key deletion", head + "[-" + Key + "]\n\"v\"=dword:1\n", 5, "deletion"},
        {"hex(N) with a letter beyond f", head + "\"v\"=hex(z):01\n", 4, "'z'"},
        {"hex(N) with no number", head + "\"v\"=hex():01\n", 4, "hex(N)"},
        {"hex(N) with 9 digits", head + "\"v\"=hex(100000000):01\n", 4, "100000000"},
        {"hex(N) with a negative number", head + "\"v\"=hex(-1):01\n", 4, "'-1'"},
        {"hex(N) without ')'", head + "\"v\"=hex(7:01\n", 4, "')'"},
        {"hex(N) without ':'", head + "\"v\"=hex(7)01\n", 4, "':'"},
        {"key line without ]", head + "[HKEY_LOCAL_MACHINE\\X\n", 4, "']'"},
        {"empty key", head + "[]\n", 4, "empty key"},
        {"key outside every root", head + "[HKEY_NOWHERE\\X]\n", 4, "HKEY_NOWHERE"},
        {"key without a root", head + "[SYSTEM\\X]\n", 4, "root"},
        {"key with an empty part", head + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 4, "empty part"},
        {"deleting a root key", head + "[-HKEY_LOCAL_MACHINE]\n", 4, "root"},
        {"invalid UTF-8 after a byte order mark", "\xEF\xBB\xBF" + head + "\"v\"=\"\xC3\"\n", 4, "UTF-8"},
        {"overlong UTF-8", "\xEF\xBB\xBF" + head + "\"v\"=\"\xC1\x81\"\n", 4, "UTF-8"},
        {"value name beyond Latin-1", "\xEF\xBB\xBF" + head + "\"\xE2\x82\xAC\"=dword:1\n", 4, "U+20AC in the value name"},
        {"key name beyond Latin-1", "\xEF\xBB\xBF" + head + "[HKEY_LOCAL_MACHINE\\\xE2\x82\xAC]\n", 4,
         "U+20AC in the key name"},
        {"control character shown escaped", head + "\"v\"=\x1b[2J\n", 4, "'\\x1b[2J'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::Registry registry = SampleRegistry();
        const std::string before = Describe(registry);
        std::string error;
        EXPECT_FALSE(sim::LoadRegFile(c.text, registry, &error));
        std::string prefix = "line " + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
        EXPECT_NE(error.find(c.mention), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(Describe(registry), before);
    }
}

TEST(RegFileLoad, RefusedFileLeavesEveryEarlierChangeUndone) {
    // Sets, value and key deletions, new keys: all before the bad last line.
    const std::string text = "REGEDIT4\n\n[" + Key + "]\n\"DeviceDescription\"=\"changed\"\n\"NewValue\"=dword:7\n"
                             "\"DefaultSettings.XResolution\"=-\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn]\n\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"x\"=hex:01\n\"y\"=dword:123456789\n";
    sim::Registry registry = SampleRegistry();
    const std::string before = Describe(registry);
    std::string error;
    EXPECT_FALSE(sim::LoadRegFile(text, registry, &error));
    EXPECT_EQ(error.substr(0, 9), "line 12: ") << error;
    EXPECT_EQ(Describe(registry), before);

    // The same file without its bad line applies every change.
    std::string good = text.substr(0, text.find("\"y\"="));
    ASSERT_TRUE(sim::LoadRegFile(good, registry, &error)) << error;
    EXPECT_EQ(sim::TextOfUtf16(registry.GetValue(Key, "DeviceDescription")->data), "changed");
    EXPECT_NE(registry.GetValue(Key, "NewValue"), nullptr);
    EXPECT_EQ(registry.GetValue(Key, "DefaultSettings.XResolution"), nullptr);
    EXPECT_EQ(registry.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn"), nullptr);
    EXPECT_NE(registry.GetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\New", "x"), nullptr);
}

TEST(RegFileLoad, AddsToWhatTheRegistryHolds) {
    sim::Registry registry = SampleRegistry();
    std::string error;
    ASSERT_TRUE(sim::LoadRegFile("REGEDIT4\n[" + Key + "]\n\"DEVICEDESCRIPTION\"=\"new\"\n\"Added\"=dword:1\n",
                                 registry, &error))
        << error;
    const sim::RegKey* key = registry.FindKey(Key);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.size(), 4u) << Describe(registry);
    EXPECT_EQ(key->values[0].name, "DeviceDescription");  // replaced in place, first spelling kept
    EXPECT_EQ(sim::TextOfUtf16(key->values[0].data), "new");
    EXPECT_EQ(key->values[3].name, "Added");
    EXPECT_EQ(registry.Keys().size(), SampleRegistry().Keys().size());
}

TEST(RegFileLoad, DeletionLinesRemoveKeysWithTheirSubkeysAndSingleValues) {
    struct Case {
        const char* label;
        std::string lines;
        std::vector<std::string> keysLeft;
        std::vector<std::string> valuesLeftInD;
    };
    const std::string m = "HKEY_LOCAL_MACHINE\\";
    const Case cases[] = {
        {"key and its subkeys, not a key that only starts alike", "[-" + m + "A]\n", {m + "AB", m + "D"},
         {"x", "y", ""}},
        {"subkey only", "[-" + m + "A\\B]\n", {m + "A", m + "AB", m + "D"}, {"x", "y", ""}},
        {"without regard to case, in kernel form", "[-\\Registry\\Machine\\a\\b\\C]\n",
         {m + "A", m + "A\\B", m + "AB", m + "D"}, {"x", "y", ""}},
        {"missing key is no error", "[-" + m + "Nowhere]\n", {m + "A", m + "A\\B", m + "A\\B\\C", m + "AB", m + "D"},
         {"x", "y", ""}},
        {"one value", "[" + m + "D]\n\"X\"=-\n", {m + "A", m + "A\\B", m + "A\\B\\C", m + "AB", m + "D"}, {"y", ""}},
        {"default value", "[" + m + "D]\n@=-\n", {m + "A", m + "A\\B", m + "A\\B\\C", m + "AB", m + "D"}, {"x", "y"}},
        {"missing value is no error", "[" + m + "D]\n\"q\"=-\n",
         {m + "A", m + "A\\B", m + "A\\B\\C", m + "AB", m + "D"}, {"x", "y", ""}},
        {"deleted then made again", "[-" + m + "D]\n[" + m + "D]\n\"n\"=dword:1\n",
         {m + "A", m + "A\\B", m + "A\\B\\C", m + "AB", m + "D"}, {"n"}},
        {"value deleted from a key that did not exist", "[" + m + "E]\n\"v\"=-\n",
         {m + "A", m + "A\\B", m + "A\\B\\C", m + "AB", m + "D", m + "E"}, {"x", "y", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::Registry registry;
        registry.CreateKey(m + "A");
        registry.SetDword(m + "A\\B", "b", 1);
        registry.CreateKey(m + "A\\B\\C");
        registry.SetDword(m + "AB", "ab", 2);
        registry.SetDword(m + "D", "x", 3);
        registry.SetDword(m + "D", "y", 4);
        registry.SetDword(m + "D", "", 5);
        std::string error;
        ASSERT_TRUE(sim::LoadRegFile("REGEDIT4\n\n" + c.lines, registry, &error)) << error;
        std::vector<std::string> keys;
        for (const sim::RegKey& key : registry.Keys()) keys.push_back(key.path);
        EXPECT_EQ(keys, c.keysLeft);
        std::vector<std::string> values;
        if (const sim::RegKey* d = registry.FindKey(m + "D")) {
            for (const sim::RegValue& value : d->values) values.push_back(value.name);
        }
        EXPECT_EQ(values, c.valuesLeftInD);
        if (const sim::RegKey* ab = registry.FindKey(m + "AB")) {
            EXPECT_EQ(ab->values.size(), 1u) << "a surviving key keeps its values";
        }
    }
}

// The machine copies its registry for snapshots: a copy finds, changes and deletes its own keys only.
TEST(RegistryCopy, IsIndependentOfTheOriginal) {
    const std::string m = "HKEY_LOCAL_MACHINE\\";
    sim::Registry original;
    original.SetDword(m + "A", "a", 1);
    original.SetDword(m + "A\\B", "b", 2);
    original.SetDword(m + "C", "c", 3);
    for (int assigned = 0; assigned < 2; ++assigned) {
        sim::Registry copy;
        if (assigned) copy = original;
        else copy = sim::Registry(original);
        EXPECT_EQ(Describe(copy), Describe(original));
        copy.SetDword(m + "c", "c", 4);
        EXPECT_TRUE(copy.DeleteKeyTree(m + "a"));
        EXPECT_EQ(copy.Keys().size(), 1u);
        EXPECT_EQ(copy.GetValue(m + "C", "c")->data[0], 4);
        EXPECT_EQ(original.Keys().size(), 3u);
        EXPECT_EQ(original.GetValue(m + "C", "c")->data[0], 3);
        EXPECT_NE(original.FindKey(m + "A\\B"), nullptr);
        EXPECT_FALSE(copy.DeleteKeyTree(m + "A")) << "nothing left to delete";
    }
}

TEST(RegFileLoad, EmptyTextIsAnEmptyRegistry) {
    const std::string texts[] = {"", "\xEF\xBB\xBF"};
    for (const std::string& text : texts) {
        sim::Registry registry;
        std::string error;
        EXPECT_TRUE(sim::LoadRegFile(text, registry, &error)) << error;
        EXPECT_TRUE(registry.Keys().empty());
    }
}

// ---- Files ----

TEST(RegFileFile, EmptyFileLoadsAsAnEmptyRegistryAndCanBeSavedOver) {
    TempDir dir;
    fs::path path = dir.Path() / "machine.reg";
    WriteFile(path, "");
    sim::Registry registry;
    std::string error;
    ASSERT_TRUE(sim::LoadRegFileFromPath(path, registry, &error)) << error;
    EXPECT_TRUE(registry.Keys().empty());

    registry = SampleRegistry();
    ASSERT_TRUE(sim::SaveRegFileToPath(path, registry, &error)) << error;
    sim::Registry loaded;
    ASSERT_TRUE(sim::LoadRegFileFromPath(path, loaded, &error)) << error;
    EXPECT_EQ(Describe(loaded), Describe(registry));
}

TEST(RegFileFile, FilesThatCannotBeReadAreErrorsNamingThePath) {
    TempDir dir;
    struct Case {
        const char* label;
        fs::path path;
        std::string mention;
    };
    WriteFile(dir.Path() / "bad.reg", "REGEDIT4\n\nnonsense\n");
    const Case cases[] = {
        {"missing file", dir.Path() / "missing.reg", "No such file"},
        {"directory", dir.Path(), "directory"},
        {"malformed file", dir.Path() / "bad.reg", "bad.reg: line 3: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::Registry registry = SampleRegistry();
        std::string error;
        EXPECT_FALSE(sim::LoadRegFileFromPath(c.path, registry, &error));
        EXPECT_EQ(error.find(c.path.string()), 0u) << error;
        EXPECT_NE(error.find(c.mention), std::string::npos) << error;
        EXPECT_EQ(Describe(registry), Describe(SampleRegistry()));
    }
}

TEST(RegFileFile, SaveReplacesTheFileKeepingItsPermissionsAndLeavesNothingElse) {
    TempDir dir;
    fs::path path = dir.Path() / "machine.reg";
    WriteFile(path, "old contents");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::string error;
    ASSERT_TRUE(sim::SaveRegFileToPath(path, SampleRegistry(), &error)) << error;

    EXPECT_EQ(ReadFile(path), sim::SaveRegFile(SampleRegistry()));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::map<std::string, std::string> files = Snapshot(dir.Path());
    EXPECT_EQ(files.size(), 1u) << "a temporary file was left behind";
}

TEST(RegFileFile, SaveThroughASymbolicLinkReplacesTheFileItNames) {
    TempDir dir;
    fs::create_directory(dir.Path() / "real");
    fs::path real = dir.Path() / "real" / "machine.reg";
    WriteFile(real, "old contents");
    fs::path link = dir.Path() / "link.reg";
    fs::create_symlink(fs::path("real") / "machine.reg", link);
    std::string error;
    ASSERT_TRUE(sim::SaveRegFileToPath(link, SampleRegistry(), &error)) << error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(real), sim::SaveRegFile(SampleRegistry()));
    EXPECT_EQ(Snapshot(dir.Path()).size(), 3u) << "a temporary file was left behind";
}

// Runs `save` with writes to files limited to `bytes`, as on a full disk.
template <typename Save>
bool WithFileSizeLimit(rlim_t bytes, Save save) {
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = bytes;
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    setrlimit(RLIMIT_FSIZE, &limited);
    bool saved = save();
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);
    return saved;
}

TEST(RegFileFile, FailedSaveLeavesTheExistingFileAsItWasAndNoTemporaryFile) {
    sim::Registry big = SampleRegistry();
    big.SetValue(Key, "Big", sim::regtype::Binary, Counting(4096));

    struct Case {
        const char* label;
        std::string target;                 // relative to the test directory
        const sim::Registry* registry;
        rlim_t fileSizeLimit;               // 0: none
        std::string mention;
    };
    const Case cases[] = {
        {"write fails part way (disk full)", "machine.reg", &big, 1000, "cannot write"},
        {"target is a directory", "taken", &big, 0, "is a directory"},
        {"directory missing", "missing/machine.reg", &big, 0, "cannot create"},
        {"directory is a file", "machine.reg/inner.reg", &big, 0, "cannot create"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        WriteFile(dir.Path() / "machine.reg", sim::SaveRegFile(SampleRegistry()));
        fs::create_directory(dir.Path() / "taken");
        WriteFile(dir.Path() / "taken" / "inside", "keep me");
        const auto before = Snapshot(dir.Path());

        std::string path = (dir.Path() / c.target).string();
        std::string error;
        bool saved = c.fileSizeLimit
                         ? WithFileSizeLimit(c.fileSizeLimit,
                                             [&] { return sim::SaveRegFileToPath(path, *c.registry, &error); })
                         : sim::SaveRegFileToPath(path, *c.registry, &error);
        EXPECT_FALSE(saved);
        EXPECT_EQ(error.find(path), 0u) << error;
        EXPECT_NE(error.find(c.mention), std::string::npos) << error;
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
}

// A value name that REGEDIT4 cannot hold (a line break would end the value line inside it) costs
// only that value: it is named and left out, and every other change is saved.
TEST(RegFileFile, SaveLeavesOutWhatTheTextCannotHoldAndSavesTheRest) {
    sim::Registry registry = SampleRegistry();
    registry.SetDword(Key, "line\nbreak", 1);
    registry.SetDword(Key, "carriage\rreturn", 2);
    registry.SetDword(Key, "Kept", 3);
    sim::Registry expected = SampleRegistry();
    expected.SetDword(Key, "Kept", 3);

    TempDir dir;
    std::string path = (dir.Path() / "machine.reg").string();
    std::string error;
    std::vector<std::string> leftOut;
    ASSERT_TRUE(sim::SaveRegFileToPath(path, registry, &error, sim::RegFileEncoding::Latin1, &leftOut)) << error;
    ASSERT_EQ(leftOut.size(), 2u);
    for (const std::string& why : leftOut) {
        EXPECT_EQ(why.find(path), 0u) << why;
        EXPECT_NE(why.find("line break"), std::string::npos) << why;
        EXPECT_TRUE(why.find("'line\\x0abreak'") != std::string::npos ||
                    why.find("'carriage\\x0dreturn'") != std::string::npos)
            << "the name as it is, escaped: " << why;
    }
    sim::Registry loaded;
    ASSERT_TRUE(sim::LoadRegFileFromPath(path, loaded, &error)) << error;
    EXPECT_EQ(Describe(loaded), Describe(expected));
}

// A file is written back in the encoding it was read in: Latin-1 bytes, or UTF-8 behind a byte
// order mark.
TEST(RegFileFile, SaveKeepsTheEncodingTheFileCameIn) {
    struct Case {
        const char* label;
        std::string text;
        sim::RegFileEncoding encoding;
        std::string writtenName;   // the Latin-1 name "Gr\xF6\xDF" as the file holds it
        std::string writtenKana;   // text value "\u3042" (hiragana a): text in UTF-8, bytes in Latin-1
    };
    const std::string body = "REGEDIT4\r\n\r\n[" + Key + "]\r\n";
    const Case cases[] = {
        {"Latin-1", body + "\"Gr\xF6\xDF\"=\"\xE9t\xE9\"\r\n", sim::RegFileEncoding::Latin1, "\"Gr\xF6\xDF\"",
         "\"Kana\"=hex(1):42,30,00,00\r\n"},
        {"UTF-8 with a byte order mark", "\xEF\xBB\xBF" + body + "\"Gr\xC3\xB6\xC3\x9F\"=\"\xC3\xA9t\xC3\xA9\"\r\n",
         sim::RegFileEncoding::Utf8, "\"Gr\xC3\xB6\xC3\x9F\"", "\"Kana\"=\"\xE3\x81\x82\"\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        fs::path path = dir.Path() / "machine.reg";
        WriteFile(path, c.text);
        sim::Registry registry;
        std::string error;
        sim::RegFileEncoding encoding = sim::RegFileEncoding::Latin1;
        ASSERT_TRUE(sim::LoadRegFileFromPath(path, registry, &error, &encoding)) << error;
        EXPECT_EQ(encoding, c.encoding);
        ASSERT_NE(registry.GetValue(Key, "GR\xD6\xDF"), nullptr);
        registry.SetString(Key, "Added\xC4", "\xFC");
        registry.SetValue(Key, "Kana", sim::regtype::Sz, {0x42, 0x30, 0, 0});

        ASSERT_TRUE(sim::SaveRegFileToPath(path, registry, &error, encoding)) << error;
        std::string saved = ReadFile(path);
        EXPECT_EQ(saved.rfind("\xEF\xBB\xBFREGEDIT4\r\n", 0) == 0, c.encoding == sim::RegFileEncoding::Utf8) << saved;
        EXPECT_NE(saved.find(c.writtenName), std::string::npos) << saved;
        EXPECT_NE(saved.find(c.writtenKana), std::string::npos) << saved;
        sim::Registry loaded;
        ASSERT_TRUE(sim::LoadRegFile(saved, loaded, &error)) << error;
        EXPECT_EQ(Describe(loaded), Describe(registry));
    }
}

// A machine's restore brings its registry back whatever changed it after the snapshot (the
// restore skips the copy only when nothing did), again after a second change; a snapshot taken
// after the change holds the changed registry (saves share a copy only while nothing changed).
TEST(RegistryRestore, UndoesEveryKindOfChange) {
    const std::pair<const char*, std::function<void(sim::Registry&)>> changes[] = {
        {"a value set", [](sim::Registry& r) { r.SetDword(Key, "New", 1); }},
        {"a value replaced", [](sim::Registry& r) { r.SetDword(Key, "Kept", 2); }},
        {"a value deleted", [](sim::Registry& r) { r.DeleteValue(Key, "Kept"); }},
        {"a key created", [](sim::Registry& r) { r.CreateKey(Key + "\\Sub"); }},
        {"a key deleted", [](sim::Registry& r) { r.DeleteKeyTree(Key); }},
        {"a value changed through its key", [](sim::Registry& r) { r.FindKey(Key)->values[0].data = {9}; }},
        {"another registry moved in", [](sim::Registry& r) { r = sim::Registry(); }},
    };
    for (const auto& [what, change] : changes) {
        sim::Machine machine;
        machine.GetRegistry().SetDword(Key, "Kept", 1);
        const std::string saved = Describe(machine.GetRegistry());
        const sim::Machine::Snapshot snapshot = machine.Save();
        for (int round = 0; round < 2; ++round) {
            change(machine.GetRegistry());
            const std::string changed = Describe(machine.GetRegistry());
            ASSERT_NE(changed, saved) << what;
            const sim::Machine::Snapshot later = machine.Save();
            machine.Restore(snapshot);
            EXPECT_EQ(Describe(machine.GetRegistry()), saved) << what << ", round " << round;
            machine.Restore(later);
            EXPECT_EQ(Describe(machine.GetRegistry()), changed) << what << ", round " << round;
            machine.Restore(snapshot);
        }
    }
}

}  // namespace

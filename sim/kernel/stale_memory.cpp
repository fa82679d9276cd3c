// Bytes the driver never wrote: the stale word that fresh memory holds, and the check of what
// reaches a caller (a reply, a registry value, a descriptor) for bytes nobody wrote.
#include <algorithm>
#include <cstring>

#include "kernel/kernel.h"
#include "support/text_format.h"

namespace sim {

std::vector<uint8_t> Kernel::StalePage(uint32_t word) {
    std::vector<uint8_t> page(PageBytes + 4);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(word >> (8 * (i % 4)));
    return page;
}

void Kernel::SetStaleWord(uint32_t word) {
    if (word == staleWord_) return;
    staleWord_ = word;
    stalePage_ = StalePage(word);
}

// A page of the pattern, copied a page at a time from its byte of the same alignment.
void Kernel::FillStaleBytes(uint8_t* bytes, size_t size) const {
    const size_t shift = reinterpret_cast<uintptr_t>(bytes) % 4;
    for (size_t done = 0; done < size;) {
        const size_t chunk = std::min<size_t>(size - done, PageBytes);
        std::memcpy(bytes + done, stalePage_.data() + (shift + done) % 4, chunk);
        done += chunk;
    }
}

std::vector<Kernel::Run> Kernel::NeverWritten(uint32_t address, const uint8_t* bytes, uint32_t size, uint32_t from) const {
    std::vector<Run> runs;
    if (from >= size) return runs;
    const bool watched = address != 0 && ledger_.Tracked(address + from);
    const bool exact = watched && ledger_.Exact();
    const uintptr_t host = reinterpret_cast<uintptr_t>(bytes);
    auto unwritten = [&](uint32_t i) {
        if (!exact && bytes[i] != static_cast<uint8_t>(staleWord_ >> (8 * ((host + i) % 4)))) return false;
        return !(watched && ledger_.Written(address + i));
    };
    if (exact) {
        for (uint32_t i = from; i < size;) {
            uint32_t end = i;
            while (end < size && unwritten(end)) ++end;
            if (end > i) runs.push_back(Run{i, end - i});
            i = end + 1;
        }
        return runs;
    }
    // A run of MinStaleRun bytes holds a whole aligned stale word: those are looked for a word at a
    // time (a reply is mostly not stale), and each found one is widened to its run.
    for (uint32_t i = from; i < size;) {
        uint32_t word = i + static_cast<uint32_t>((4 - (host + i) % 4) % 4);
        for (; uint64_t{word} + 4 <= size; word += 4) {
            uint32_t value;
            std::memcpy(&value, bytes + word, 4);
            if (value == staleWord_ && unwritten(word) && unwritten(word + 1) && unwritten(word + 2) && unwritten(word + 3)) break;
        }
        if (uint64_t{word} + 4 > size) break;
        uint32_t start = word, end = word + 4;
        while (start > i && unwritten(start - 1)) --start;
        while (end < size && unwritten(end)) ++end;
        if (end - start >= MinStaleRun) runs.push_back(Run{start, end - start});
        i = end;
    }
    return runs;
}

std::string Kernel::DescribeRuns(const std::vector<Run>& runs) {
    constexpr size_t Named = 4;
    uint64_t total = 0;
    for (const Run& run : runs) total += run.length;
    std::string text = std::to_string(total) + (total == 1 ? " byte" : " bytes") + " (offset" +
                       (runs.size() == 1 && runs[0].length == 1 ? " " : "s ");
    for (size_t i = 0; i < runs.size() && i < Named; ++i) {
        if (i) text += ", ";
        text += std::to_string(runs[i].offset);
        if (runs[i].length > 1) text += "-" + std::to_string(runs[i].offset + runs[i].length - 1);
    }
    if (runs.size() > Named) text += ", …";
    return text + ")";
}

bool Kernel::CheckWritten(const std::string& what, uint32_t address, const void* bytes, uint32_t size) {
    if (bytes == nullptr || size == 0) return true;
    if (inRequest_) {
        const auto* data = static_cast<const uint8_t*>(bytes);
        storedValues_.push_back(StoredValue{what, std::vector<uint8_t>(data, data + size)});
    }
    std::vector<Run> runs = NeverWritten(address, static_cast<const uint8_t*>(bytes), size);
    if (runs.empty()) return true;
    std::string during = inRequest_ ? " during request " + Hex(requestCode_) : "";
    faults_.ReportDriver(what + during + " holds " + DescribeRuns(runs) +
                         " that the driver never wrote: stale memory reaches a caller");
    return false;
}

}  // namespace sim

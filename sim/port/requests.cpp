// Requests as the I/O manager and the port deliver them: buffered transfer with one system buffer
// for input and output, the status block, and what is copied back to the requester.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "port/port.h"
#include "support/text_format.h"

namespace sim {

namespace {

constexpr uint32_t StatusUnset = 0xFFFFFFFF;

}  // namespace

// What the caller receives past its own input is what the driver wrote, byte for byte.
void VideoPort::CheckReplyWritten(uint32_t code, uint32_t address, const uint8_t* bytes, uint32_t count,
                                  uint32_t inputLength, int adapter) {
    std::vector<Kernel::Run> runs = kernel_.NeverWritten(address, bytes, count, inputLength);
    if (runs.empty()) return;
    faults_.Report(FaultKind::Driver, adapter,
                   "request " + Hex(code) + " answers " + Kernel::DescribeRuns(runs) +
                       " that the driver never wrote: pool data disclosed to the caller");
}

RequestResult VideoPort::Deliver(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                                 const RequestOptions& options, bool aliased) {
    const uint32_t inputLength = static_cast<uint32_t>(input.size());
    KernelSpace& space = kernel_.Space();

    auto allocate = [&](uint32_t size, const char* purpose) -> uint32_t {
        if (size == 0) return 0;
        // Pool memory: beyond the input it holds what earlier owners left there.
        uint32_t address = space.AllocateMemory(size, purpose);
        kernel_.FillStale(address, size);
        return address;
    };
    uint32_t inputAddress, outputAddress;
    if (aliased) {
        inputAddress = outputAddress = allocate(std::max(inputLength, outputLength), "system buffer");
    } else {
        inputAddress = allocate(inputLength, "input buffer");
        outputAddress = allocate(outputLength, "output buffer");
    }
    if (inputLength) std::memcpy(kernel_.HostPointer(inputAddress), input.data(), inputLength);
    // Two buffers stand in for the one system buffer: the output holds on entry what the system
    // buffer would, the input's bytes and then the pool's.
    if (!aliased && outputAddress && inputLength) {
        std::memcpy(kernel_.HostPointer(outputAddress), input.data(), std::min(inputLength, outputLength));
    }

    uint32_t statusAddress = space.AllocateMemory(sizeof(STATUS_BLOCK), "status block");
    uint32_t packetAddress = space.AllocateMemory(sizeof(VIDEO_REQUEST_PACKET), "request packet");
    auto* statusBlock = static_cast<PSTATUS_BLOCK>(kernel_.HostPointer(statusAddress));
    auto* packet = static_cast<PVIDEO_REQUEST_PACKET>(kernel_.HostPointer(packetAddress));
    statusBlock->Status = StatusUnset;
    statusBlock->Information = options.presetInformation;
    packet->IoControlCode = code;
    packet->StatusBlock.address = statusAddress;
    packet->InputBuffer.address = inputAddress;
    packet->InputBufferLength = inputLength;
    packet->OutputBuffer.address = outputAddress;
    packet->OutputBufferLength = outputLength;

    // HwStartIO runs in the context of the requesting process; other callbacks in the system's.
    const uint32_t outside = kernel_.CurrentProcess();
    kernel_.SetCurrentProcess(options.process);
    Kernel::RequestMark mark = kernel_.BeginRequest();
    faults_.SetCurrentAdapter(options.adapter);
    // The output's bytes the driver writes are counted; those of the input are the caller's own.
    WriteLedger& ledger = kernel_.Ledger();
    ledger.Track(outputAddress, kernel_.HostPointer(outputAddress), outputLength);
    ledger.MarkWritten(outputAddress, std::min(inputLength, outputLength));
    kernel_.SetRequest(true, code);
    BOOLEAN handled = miniport_.StartIo(state_.registration.HwStartIO.address, ExtensionPointer(options.adapter), packet);
    kernel_.SetRequest(false, 0);
    CheckLeftBehind("HwStartIO (" + Hex(code) + ")");
    kernel_.SetCurrentProcess(outside);

    RequestResult result;
    result.status = statusBlock->Status;
    result.information = statusBlock->Information;
    if (!handled) faults_.Report(FaultKind::Driver, options.adapter, "HwStartIO returned FALSE for " + Hex(code));
    if (result.status == StatusUnset) {
        faults_.Report(FaultKind::Driver, options.adapter, "HwStartIO left the status of " + Hex(code) + " unset");
    }
    // The I/O manager copies Information bytes back for a success or warning status only; on a
    // failure Information is the size the requester must supply, and nothing is copied.
    bool copyBack = result.status == NO_ERROR || result.status == ERROR_MORE_DATA;
    if (copyBack && result.information > outputLength) {
        faults_.Report(FaultKind::Driver, options.adapter,
                       "request " + Hex(code) + " reports " + std::to_string(result.information) +
                           " bytes of output in a buffer of " + std::to_string(outputLength));
    }
    if (copyBack && outputAddress) {
        uint32_t count = std::min(result.information, outputLength);
        auto* bytes = static_cast<uint8_t*>(kernel_.HostPointer(outputAddress));
        result.output.assign(bytes, bytes + count);
        CheckReplyWritten(code, outputAddress, bytes, count, inputLength, options.adapter);
    }
    ledger.Untrack(outputAddress);
    faults_.SetCurrentAdapter(-1);

    kernel_.EndRequest(mark, "request " + Hex(code), copyBack, result.output, options.adapter);

    for (uint32_t address : {inputAddress, outputAddress, statusAddress, packetAddress}) {
        if (address) space.Free(address);
    }
    return result;
}

}  // namespace sim

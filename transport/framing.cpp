// Link framing: the Ethernet and link header of LCMP frames, the per-opcode
// sequence counters, and sending one message per frame.
#include <pcap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "LCMP_comm.h"
#include "LCMP_socket.h"

namespace lcmp {

static_assert(kMaxMessage == kMaxWireMessage, "the engine's message limit must be the link's");

std::array<std::atomic<uint16_t>, 8> lcmpOpcodeNumSeq{};

void SequencesUnpredictable() noexcept {
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            // Each counter jumps ahead by its own random amount: numbers
            // already handed out stay distinct from those that follow.
            std::array<uint16_t, 8> jumps{};
            try {
                std::random_device source;
                for (auto &j : jumps) j = static_cast<uint16_t>(source());
            } catch (...) {
                // No entropy source: the clock and an address still differ from process to process.
                uint64_t mix = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                               reinterpret_cast<uintptr_t>(&jumps);
                for (auto &j : jumps) {
                    mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
                    j = static_cast<uint16_t>(mix >> 48);
                }
            }
            for (std::size_t i = 0; i < jumps.size(); ++i) lcmpOpcodeNumSeq[i].fetch_add(jumps[i]);
        });
    } catch (...) {
        // call_once could not run: the counters go on as they are.
    }
}

uint16_t SequenceNext(int32_t opcode) noexcept {
    // Unsigned atomic arithmetic wraps from 65535 to 0.
    return lcmpOpcodeNumSeq[static_cast<std::size_t>(opcode - kFirstOpcode)].fetch_add(1, std::memory_order_relaxed);
}

void LinkHeaderEncode(const LCMPLinkHeader &h, std::span<uint8_t, kLinkHeaderSize> out) noexcept {
    out[0] = static_cast<uint8_t>(h.payloadLength & 0xFF);
    out[1] = static_cast<uint8_t>(((h.payloadLength >> 8) & 0x0F) | ((h.opcode & 0x0F) << 4));
    out[2] = static_cast<uint8_t>((h.opcode >> 4) & 0xFF);
    out[3] = 0;
    out[4] = static_cast<uint8_t>((h.lastSegment & 0x0F) | ((h.segmentNumber & 0x0F) << 4));
    out[5] = static_cast<uint8_t>(h.sequence & 0xFF);
    out[6] = static_cast<uint8_t>(h.sequence >> 8);
    out[7] = 0;
}

std::optional<LCMPLinkHeader> LinkHeaderDecode(ByteReader &reader) noexcept {
    const auto bytes = reader.take(kLinkHeaderSize);
    if (!bytes) return std::nullopt;
    ByteReader r(*bytes);
    const uint8_t b0 = *r.u8(), b1 = *r.u8(), b2 = *r.u8();
    r.skip(1);  // reserved
    const uint8_t b4 = *r.u8();
    const uint16_t sequence = *r.le16();
    LCMPLinkHeader h;
    h.payloadLength = static_cast<uint16_t>(((b1 & 0x0F) << 8) | b0);
    h.opcode = static_cast<uint16_t>((b2 << 4) | (b1 >> 4));
    h.lastSegment = static_cast<uint8_t>(b4 & 0x0F);
    h.segmentNumber = static_cast<uint8_t>(b4 >> 4);
    h.sequence = sequence;
    return h;
}

std::optional<ReceivedFrame> FrameDecode(std::span<const uint8_t> frame) noexcept {
    if (frame.size() <= kFrameHeaderSize) return std::nullopt;
    ByteReader r(frame);
    const auto destination = r.take(kMacSize);
    const auto source = r.take(kMacSize);
    const auto ethertype = r.be16();
    if (!destination || !source || !ethertype || *ethertype != kEthertype) return std::nullopt;
    const auto header = LinkHeaderDecode(r);
    if (!header) return std::nullopt;
    // A payload length beyond the captured bytes drops the frame.
    const auto payload = r.take(header->payloadLength);
    if (!payload) return std::nullopt;
    return ReceivedFrame{destination->first<kMacSize>(), source->first<kMacSize>(), *header, *payload};
}

std::size_t FrameBuild(std::span<const uint8_t, kMacSize> destination, std::span<const uint8_t, kMacSize> source,
                       const LCMPLinkHeader &header, std::span<const uint8_t> payload,
                       std::span<uint8_t> out) noexcept {
    const std::size_t size = kFrameHeaderSize + payload.size();
    if (out.size() < size) return 0;
    std::memcpy(out.data(), destination.data(), kMacSize);
    std::memcpy(out.data() + kMacSize, source.data(), kMacSize);
    out[12] = static_cast<uint8_t>(kEthertype >> 8);
    out[13] = static_cast<uint8_t>(kEthertype & 0xFF);
    LinkHeaderEncode(header, out.subspan<kEthernetHeaderSize, kLinkHeaderSize>());
    if (!payload.empty()) std::memcpy(out.data() + kFrameHeaderSize, payload.data(), payload.size());
    return size;
}

int32_t MessageFramesBuild(std::span<const uint8_t, kMacSize> destination, std::span<const uint8_t, kMacSize> source,
                           uint16_t opcode, uint16_t sequence, std::span<const uint8_t> message,
                           std::span<uint8_t> scratch, FrameSink sink, void *context) noexcept {
    if (message.size() > kMaxMessage || scratch.size() < kMaxFrameSize || sink == nullptr)
        return LCMP_ERROR_BAD_ARGS;
    const std::size_t segments = message.size() <= kMaxPayload ? 1 : (message.size() + kMaxPayload - 1) / kMaxPayload;
    LCMPLinkHeader header;
    header.opcode = opcode;
    header.sequence = sequence;
    header.lastSegment = static_cast<uint8_t>(segments == 1 ? 0 : segments - 1);
    for (std::size_t i = 0; i < segments; ++i) {
        const auto part = message.subspan(i * kMaxPayload, std::min(kMaxPayload, message.size() - i * kMaxPayload));
        header.segmentNumber = static_cast<uint8_t>(segments == 1 ? 0 : i);
        header.payloadLength = static_cast<uint16_t>(part.size());
        const std::size_t size = FrameBuild(destination, source, header, part, scratch);
        if (const int32_t rc = sink(scratch.first(size), context); rc != 0) return rc;
    }
    return LCMP_OK;
}

}  // namespace lcmp

namespace {

// Hands one frame to the session's capture handle (held by the caller).
int32_t SendOnHandle(std::span<const uint8_t> frame, void *handle) {
    auto *capture = static_cast<pcap_t *>(handle);
    if (pcap_sendpacket(capture, frame.data(), static_cast<int>(frame.size())) != 0) {
        std::fprintf(stderr, "\nError sending the packet: %s\n", pcap_geterr(capture));
        return LCMP_ERROR_SENDTO;
    }
    std::fprintf(stderr, "sending packet size %d\n", static_cast<int>(frame.size()));
    return LCMP_OK;
}

// The same without the line per frame: device-mode requests go out at tens
// of thousands a second, and a line on stderr for each would cost more than
// the send. Failures are still reported.
int32_t SendQuietly(std::span<const uint8_t> frame, void *handle) {
    auto *capture = static_cast<pcap_t *>(handle);
    if (pcap_sendpacket(capture, frame.data(), static_cast<int>(frame.size())) != 0) {
        std::fprintf(stderr, "\nError sending the packet: %s\n", pcap_geterr(capture));
        return LCMP_ERROR_SENDTO;
    }
    return LCMP_OK;
}

}  // namespace

namespace lcmp {

int32_t MessageSend(const uint8_t *destination, std::span<const uint8_t, kMacSize> source, int32_t opcode,
                    std::span<const uint8_t> message, std::atomic<int32_t> *sequence) noexcept {
    if (destination == nullptr || opcode < kFirstOpcode || opcode > kLastOpcode || message.size() > kMaxMessage)
        return LCMP_ERROR_BAD_ARGS;
    std::lock_guard<std::mutex> lock(HandleMutex());
    if (fp == nullptr) return LCMP_ERROR_SOCKET_NOT_OPENED;
    const uint16_t number = SequenceNext(opcode);
    if (sequence != nullptr) sequence->store(number, std::memory_order_release);  // before the first frame leaves
    uint8_t scratch[kMaxFrameSize];
    return MessageFramesBuild(std::span<const uint8_t, kMacSize>(destination, kMacSize), source,
                              static_cast<uint16_t>(opcode), number, message, scratch, SendQuietly, fp);
}

}  // namespace lcmp

extern "C" int32_t LCMPPacketSend(const uint8_t *destination, int32_t opcode, uint16_t length,
                                  const uint8_t *payload, uint16_t *sequenceOut) {
    using namespace lcmp;
    if (destination == nullptr || (payload == nullptr && length != 0) || opcode < kFirstOpcode ||
        opcode > kLastOpcode || length > kMaxPayload)
        return LCMP_ERROR_BAD_ARGS;

    // The handle lock keeps the session from closing the handle under the send.
    std::lock_guard<std::mutex> lock(HandleMutex());
    if (fp == nullptr) return LCMP_ERROR_SOCKET_NOT_OPENED;

    const uint16_t sequence = SequenceNext(opcode);  // consumed even if the send fails below
    if (sequenceOut != nullptr) *sequenceOut = sequence;

    Buffer frame = AllocateBuffer(kMaxFrameSize);
    if (!frame) return LCMP_ERROR_MALLOC;
    uint8_t own[kMacSize];
    if (MacAddressGet(lcmpInterfaceName, own) != 0) return LCMP_ERROR_ETH_IF;

    // At most one frame's payload, so the builder makes exactly one frame.
    return MessageFramesBuild(std::span<const uint8_t, kMacSize>(destination, kMacSize), own,
                              static_cast<uint16_t>(opcode), sequence, std::span<const uint8_t>(payload, length),
                              std::span<uint8_t>(frame.get(), kMaxFrameSize), SendOnHandle, fp);
}

// lcmp-device: a fleet of simulated LCMP devices on one adapter.
//
//   lcmp-device -i ADAPTER [-n COUNT] [-m FIRST_MAC] [-p PARAMS_FILE]
//               [--notify-ms N] [--delay-us N] [--drop-every N]
//               [--loss PERCENT] [--duplicate PERCENT] [--late PERCENT:MS]
//               [--seed N] [-v]
//
// Every device has an address of its own (FIRST_MAC, then +1, +2, ... in the
// last three bytes) and its own parameter table (values the devices hold
// alike are shared, not copied). A flaky link is simulated per answer: lost,
// sent twice or sent late, drawn from a seeded generator. The devices answer
// read, write and control requests and notification subscriptions addressed
// to them, to the LCMP multicast address or to broadcast; a group request is
// answered by every device, each from its own address. Requests are taken
// apart by the library's receive path (segments joined, partial messages
// never answered) and every answer goes out through the library's frame
// builder, in segments when it is longer than one frame.
#include <getopt.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "lcmp_device_link.h"
#include "lcmp_tool_common.h"
#include "lcmp_tool_platform.h"
#include "platform.h"
#include "reassembly.h"

namespace {

using Mac = std::array<uint8_t, 6>;
using Clock = std::chrono::steady_clock;

constexpr Mac kDefaultFirstMac{0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
constexpr long kMaxDevices = 100000;
// Subscribers a device keeps; a new one beyond them replaces the oldest.
constexpr std::size_t kMaxSubscribers = 8;
// A parameter value must fit a read confirmation: lead byte and length, then
// one record of type, length, identifier and value.
constexpr std::size_t kMaxValue = lcmp::kMaxMessage - 3 - 3 - 1;

volatile std::sig_atomic_t gStop = 0;

// ---- Parameter tables ----

// A parameter value, immutable once made: devices that hold the same value
// (the starting table, a group write) share one copy, and a write gives the
// device a new value rather than changing a shared one.
using Value = std::shared_ptr<const std::vector<uint8_t>>;

Value MakeValue(std::span<const uint8_t> bytes) {
    return std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
}

// One device's parameters, by identifier: a slot per identifier (0 when the
// device lacks it) into the values the device has, so that a fleet of
// 100 000 devices with a small table stays small. A value may be empty (a
// write can store one).
class ParameterTable {
public:
    const std::vector<uint8_t> *Find(uint8_t id) const {
        return slot_[id] == 0 ? nullptr : values_[slot_[id] - 1u].get();
    }
    void Set(uint8_t id, Value value) {
        if (slot_[id] == 0) {
            values_.emplace_back();
            slot_[id] = static_cast<uint16_t>(values_.size());
        }
        values_[slot_[id] - 1u] = std::move(value);
    }

private:
    std::array<uint16_t, 256> slot_{};
    std::vector<Value> values_;
};

ParameterTable BuiltInTable() {
    static constexpr const char *kLines[][2] = {{"01", "4C434D50"}, {"02", "0100"},     {"03", "00000000"},
                                                 {"04", "05DC"},     {"05", "0102A0"},   {"06", "00"},
                                                 {"07", "DEADBEEF"}, {"08", "0011223344556677"}};
    ParameterTable table;
    for (const auto &line : kLines)
        table.Set((*lcmptools::ParseHex(line[0]))[0], MakeValue(*lcmptools::ParseHex(line[1])));
    return table;
}

// Reads `ID HEX` lines; `#` starts a comment, blank lines are skipped. A bad
// line is reported as "FILE:LINE: reason" and no table comes back.
std::optional<ParameterTable> LoadTable(const char *path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
        return std::nullopt;
    }
    ParameterTable table;
    std::array<long, 256> definedOn{};
    std::string line;
    long number = 0;
    const auto bad = [&](const std::string &reason) {
        std::fprintf(stderr, "%s:%ld: %s\n", path, number, reason.c_str());
        return std::nullopt;
    };
    while (std::getline(in, line)) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::vector<std::string> words;
        std::size_t at = 0;
        while (true) {
            at = line.find_first_not_of(" \t\r", at);
            if (at == std::string::npos) break;
            const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
            words.push_back(line.substr(at, end - at));
            at = end;
        }
        if (words.empty()) continue;
        if (words.size() != 2) return bad("expected an identifier and a value (ID HEX), found " +
                                          std::to_string(words.size()) + " field(s)");
        const auto id = words[0].size() == 2 ? lcmptools::ParseHexNumber(words[0], 0, 255) : std::nullopt;
        if (!id) return bad("identifier '" + words[0] + "' is not two hex digits");
        const auto value = lcmptools::ParseHex(words[1]);
        if (!value)
            return bad("value '" + words[1] + "' is not hex bytes (two hex digits a byte, a colon only between bytes)");
        if (value->size() > kMaxValue)
            return bad("value of " + std::to_string(value->size()) + " bytes is longer than " +
                       std::to_string(kMaxValue));
        const auto key = static_cast<uint8_t>(*id);
        if (definedOn[key] != 0)
            return bad("identifier " + words[0] + " already defined on line " + std::to_string(definedOn[key]));
        definedOn[key] = number;
        table.Set(key, MakeValue(*value));
    }
    if (in.bad()) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
        return std::nullopt;
    }
    return table;
}

// ---- Messages ----

// Builds one answer message: lead byte, record-area length (least
// significant byte first), an optional flag byte, then records.
class MessageWriter {
public:
    explicit MessageWriter(std::vector<uint8_t> &buffer, bool flag = false) : out_(buffer) {
        out_.clear();
        out_.push_back(lcmp::kLeadByte);
        out_.push_back(0);
        out_.push_back(0);
        if (flag) out_.push_back(0);
        header_ = out_.size();
    }
    // Whether a record with a value of `valueLength` bytes still fits.
    bool Fits(std::size_t valueLength) const { return out_.size() + 3 + valueLength <= lcmp::kMaxMessage; }
    bool Empty() const { return out_.size() == header_; }
    // Starts a record; its value is whatever is appended until Close.
    void Open(uint8_t type) {
        record_ = out_.size();
        out_.push_back(type);
        out_.push_back(0);
        out_.push_back(0);
    }
    void Append(uint8_t byte) { out_.push_back(byte); }
    void Append(std::span<const uint8_t> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    void Close() {
        const std::size_t length = out_.size() - record_ - 3;
        out_[record_ + 1] = static_cast<uint8_t>(length & 0xFF);
        out_[record_ + 2] = static_cast<uint8_t>(length >> 8);
    }
    std::span<const uint8_t> Finish() {
        const std::size_t area = out_.size() - header_;
        out_[1] = static_cast<uint8_t>(area & 0xFF);
        out_[2] = static_cast<uint8_t>(area >> 8);
        return out_;
    }

private:
    std::vector<uint8_t> &out_;
    std::size_t header_ = 0, record_ = 0;
};

// ---- The fleet ----

struct Device {
    Mac mac;
    ParameterTable parameters;
    std::vector<Mac> subscribers;  // sources of its subscriptions, each once, oldest first
};

uint64_t Key(std::span<const uint8_t, 6> mac) {
    uint64_t key = 0;
    for (uint8_t b : mac) key = key << 8 | b;
    return key;
}

struct Options {
    const char *adapter = nullptr;
    long count = 1;
    Mac firstMac = kDefaultFirstMac;
    const char *parameters = nullptr;
    long notifyMs = 0;
    long delayUs = 0;
    long dropEvery = 0;
    // Shares of 100 of the answers lost, sent twice and sent late (the three
    // add up to at most 100), how late, and the generator's seed.
    long lossPercent = 0, duplicatePercent = 0, latePercent = 0, lateMs = 0;
    unsigned long seed = 1;
    bool verbose = false;
};

// Request opcodes in the order of the summary's counters.
constexpr uint16_t kRequestOpcodes[] = {LCMP_READ_REQ, LCMP_WRITE_REQ, LCMP_CONTROL_REQ, LCMP_NOTIFY_IND};

class Fleet {
public:
    Fleet(const Options &options, const ParameterTable &table) : options_(options), random_(options.seed) {
        devices_.reserve(static_cast<std::size_t>(options.count));
        byMac_.reserve(static_cast<std::size_t>(options.count));
        const uint32_t base = static_cast<uint32_t>(options.firstMac[3] << 16 | options.firstMac[4] << 8 |
                                                    options.firstMac[5]);
        for (long i = 0; i < options.count; ++i) {
            Device device{options.firstMac, table, {}};
            const uint32_t low = base + static_cast<uint32_t>(i);
            device.mac[3] = static_cast<uint8_t>(low >> 16);
            device.mac[4] = static_cast<uint8_t>(low >> 8);
            device.mac[5] = static_cast<uint8_t>(low);
            byMac_.emplace(Key(device.mac), devices_.size());
            devices_.push_back(std::move(device));
        }
        scratch_.resize(lcmp::kMaxFrameSize);
        message_.reserve(lcmp::kMaxMessage);
        notification_.reserve(lcmp::kMaxMessage);
    }

    const std::vector<Device> &Devices() const { return devices_; }
    void Attach(pcap_t *handle) { handle_ = handle; }

    // The sink of the receive path: one complete message.
    static void OnMessage(const lcmp::ReceivedMessage &message, void *context) {
        static_cast<Fleet *>(context)->Handle(message);
    }

    // Sends the answers whose delay has passed; returns when the next one is due.
    std::optional<Clock::time_point> SendDue(Clock::time_point now) {
        while (!pending_.empty() && pending_.begin()->first <= now) {
            Transmit(pending_.begin()->second);
            pending_.erase(pending_.begin());
        }
        Flush();
        if (pending_.empty()) return std::nullopt;
        return pending_.begin()->first;
    }

    // One periodic notification to every subscriber of every device.
    void NotifyTick() {
        const uint32_t tick = ticks_++;
        for (Device &device : devices_) {
            if (device.subscribers.empty()) continue;
            MessageWriter writer(notification_, true);
            writer.Open(LCMP_RECORD_NOTIFY);
            writer.Append(0x00);
            for (int shift = 24; shift >= 0; shift -= 8) writer.Append(static_cast<uint8_t>(tick >> shift));
            writer.Close();
            const auto message = writer.Finish();
            for (const Mac &subscriber : device.subscribers) {
                Send(subscriber, device.mac, LCMP_NOTIFY_IND, notificationSequence_++, message);
                ++notifications_;
            }
        }
        Flush();
    }

    void PrintSummary() const {
        std::fprintf(stderr,
                     "lcmp-device: answered %lu read, %lu write, %lu control, %lu subscription request(s); "
                     "%lu notification(s); %lu frame(s) sent; %lu request(s) dropped; %lu malformed request(s) "
                     "ignored; %lu send failure(s); %lu lost, %lu duplicated, %lu late (seed %lu)\n",
                     answered_[0], answered_[1], answered_[2], answered_[3], notifications_, frames_, dropped_,
                     malformed_, sendFailures_, impaired_[kLost], impaired_[kDuplicated], impaired_[kLate],
                     options_.seed);
    }

private:
    enum Fate { kLost, kDuplicated, kLate, kDelivered };
    static constexpr const char *kFateNames[] = {"lost", "duplicated", "late"};

    // What the flaky link does to one answer: one draw from 0 to 99, the
    // three impairments taking disjoint shares of it.
    Fate Draw() {
        if (options_.lossPercent + options_.duplicatePercent + options_.latePercent == 0) return kDelivered;
        const long r = std::uniform_int_distribution<long>(0, 99)(random_);
        if (r < options_.lossPercent) return kLost;
        if (r < options_.lossPercent + options_.duplicatePercent) return kDuplicated;
        if (r < options_.lossPercent + options_.duplicatePercent + options_.latePercent) return kLate;
        return kDelivered;
    }

    void Handle(const lcmp::ReceivedMessage &message) {
        const auto kind = std::find(std::begin(kRequestOpcodes), std::end(kRequestOpcodes), message.opcode);
        if (kind == std::end(kRequestOpcodes)) return;  // confirmations and foreign opcodes
        const bool group = std::equal(message.destination.begin(), message.destination.end(), lcmp::kMulticastMac) ||
                           std::equal(message.destination.begin(), message.destination.end(), lcmp::kBroadcastMac);
        std::size_t target = 0;
        if (!group) {
            const auto found = byMac_.find(Key(message.destination));
            if (found == byMac_.end()) return;  // another station's frame
            target = found->second;
        }
        const auto area = lcmp::RecordArea(message.opcode, message.payload);
        if (!area) {
            ++malformed_;
            return;
        }
        // Counted once per request, whatever number of devices it reaches.
        if (options_.dropEvery > 0 && ++requests_ % static_cast<uint64_t>(options_.dropEvery) == 0) {
            ++dropped_;
            if (options_.verbose)
                std::printf("%s %s seq 0x%04X from %s: dropped\n", group ? "group" : lcmptools::Mac(message.destination.data()).c_str(),
                            lcmptools::OpcodeName(message.opcode), message.sequence,
                            lcmptools::Mac(message.source.data()).c_str());
            return;
        }
        const std::size_t index = static_cast<std::size_t>(kind - std::begin(kRequestOpcodes));
        // A write's values are made once and shared by every device it reaches.
        writes_.clear();
        if (message.opcode == LCMP_WRITE_REQ)
            lcmp::WalkRecords(*area, [&](const lcmp::Record &r) {
                if (r.type == LCMP_RECORD_PARAMETER && !r.value.empty())
                    writes_.emplace_back(r.value[0], MakeValue(r.value.subspan(1)));
            });
        if (group) {
            for (Device &device : devices_) Answer(device, index, message, *area);
        } else {
            Answer(devices_[target], index, message, *area);
        }
        if (options_.verbose) std::fflush(stdout);
    }

    void Answer(Device &device, std::size_t kind, const lcmp::ReceivedMessage &request,
                std::span<const uint8_t> area) {
        Mac requester;
        std::copy(request.source.begin(), request.source.end(), requester.begin());
        // A lost request never reaches the device: nothing is applied.
        const Fate fate = Draw();
        if (fate != kDelivered) ++impaired_[fate];
        if (fate == kLost) {
            if (options_.verbose)
                std::printf("%s %s seq 0x%04X from %s: lost\n", lcmptools::Mac(device.mac.data()).c_str(),
                            lcmptools::OpcodeName(request.opcode), request.sequence,
                            lcmptools::Mac(requester.data()).c_str());
            return;
        }
        MessageWriter writer(message_);
        uint16_t opcode = 0;
        std::size_t written = 0;
        switch (request.opcode) {
            case LCMP_READ_REQ:
                opcode = LCMP_READ_CNF;
                // One parameter record per identifier the device has, in
                // request order, as many as the message carries.
                lcmp::WalkRecords(area, [&](const lcmp::Record &r) {
                    if (r.type != LCMP_RECORD_READ_PARAMETER || r.value.empty()) return;
                    const uint8_t id = r.value[0];
                    const std::vector<uint8_t> *found = device.parameters.Find(id);
                    if (found == nullptr) return;
                    const auto &value = *found;
                    if (!writer.Fits(1 + value.size())) return;
                    writer.Open(LCMP_RECORD_PARAMETER);
                    writer.Append(id);
                    writer.Append(value);
                    writer.Close();
                });
                break;
            case LCMP_WRITE_REQ: {
                opcode = LCMP_WRITE_CNF;
                ids_.clear();
                for (const auto &[id, value] : writes_) {
                    device.parameters.Set(id, value);
                    ids_.push_back(id);
                }
                written = ids_.size();
                writer.Open(LCMP_RECORD_WRITE_CONFIRM);
                writer.Append(static_cast<uint8_t>(std::min<std::size_t>(ids_.size(), 255)));
                writer.Append(ids_);
                writer.Close();
                break;
            }
            case LCMP_CONTROL_REQ:
                opcode = LCMP_CONTROL_CNF;
                writer.Open(LCMP_RECORD_CONTROL_CONFIRM);
                writer.Append(0x00);
                lcmp::WalkRecords(area, [&](const lcmp::Record &r) {
                    if (r.type == LCMP_RECORD_CONTROL_PARAMETER && !r.value.empty()) writer.Append(r.value[0]);
                });
                writer.Close();
                break;
            default: {  // a subscription
                opcode = LCMP_NOTIFY_RSP;
                writer.Open(LCMP_RECORD_NOTIFY_CONFIRM);
                std::size_t types = 0;
                lcmp::WalkRecords(area, [&](const lcmp::Record &r) {
                    if (r.type != LCMP_RECORD_NOTIFY || r.value.empty()) return;
                    writer.Append(r.value[0]);
                    ++types;
                });
                if (types == 0) writer.Append(0x00);  // never an empty confirmation value
                writer.Close();
                // A subscription naming no notify type ends the requester's
                // subscription; another one renews it as the newest, and a
                // new subscriber beyond the bound replaces the oldest.
                auto &subscribers = device.subscribers;
                subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), requester), subscribers.end());
                if (types > 0) {
                    if (subscribers.size() == kMaxSubscribers) subscribers.erase(subscribers.begin());
                    subscribers.push_back(requester);
                }
                break;
            }
        }
        const auto answer = writer.Finish();
        const uint64_t before = framesQueued_;
        late_ = fate == kLate;
        Send(requester, device.mac, opcode, request.sequence, answer);
        if (fate == kDuplicated) Send(requester, device.mac, opcode, request.sequence, answer);
        late_ = false;
        ++answered_[kind];
        if (options_.verbose)
            std::printf("%s %s seq 0x%04X from %s: %s, %zu bytes, %lu frame(s)%s%s\n",
                        lcmptools::Mac(device.mac.data()).c_str(), lcmptools::OpcodeName(request.opcode),
                        request.sequence, lcmptools::Mac(requester.data()).c_str(), lcmptools::OpcodeName(opcode),
                        answer.size(), static_cast<unsigned long>(framesQueued_ - before), fate == kDelivered ? "" : ", ",
                        fate == kDelivered ? "" : kFateNames[fate]);
        if (written > 0) NotifyWrite(device, ids_);
    }

    // A notification to each subscriber of the device: one notify record per
    // parameter written (its identifier, then its new value), in as many
    // messages as they need.
    void NotifyWrite(const Device &device, const std::vector<uint8_t> &ids) {
        if (device.subscribers.empty()) return;
        std::size_t next = 0;
        while (next < ids.size()) {
            MessageWriter writer(notification_, true);
            for (; next < ids.size(); ++next) {
                const auto &value = *device.parameters.Find(ids[next]);  // just written
                if (!writer.Fits(1 + value.size()) && !writer.Empty()) break;
                writer.Open(LCMP_RECORD_NOTIFY);
                writer.Append(ids[next]);
                writer.Append(value);
                writer.Close();
            }
            const auto message = writer.Finish();
            for (const Mac &subscriber : device.subscribers) {
                Send(subscriber, device.mac, LCMP_NOTIFY_IND, notificationSequence_++, message);
                ++notifications_;
            }
        }
    }

    void Send(const Mac &destination, const Mac &source, uint16_t opcode, uint16_t sequence,
              std::span<const uint8_t> message) {
        const int32_t rc = lcmp::MessageFramesBuild(destination, source, opcode, sequence, message, scratch_,
                                                    &Fleet::FrameOut, this);
        if (rc != 0) ++sendFailures_;
    }

    static int32_t FrameOut(std::span<const uint8_t> frame, void *context) {
        auto *self = static_cast<Fleet *>(context);
        ++self->framesQueued_;
        // Held frames wait by the time they are due (those due at the same
        // time in the order they were made): a late answer holds up no other.
        const auto hold = std::chrono::microseconds(self->options_.delayUs) +
                          std::chrono::milliseconds(self->late_ ? self->options_.lateMs : 0);
        if (hold.count() > 0) {
            self->pending_.emplace(Clock::now() + hold, std::vector<uint8_t>(frame.begin(), frame.end()));
            return 0;
        }
        self->Transmit(frame);
        return 0;
    }

    // Frames wait in a batch that goes out in one system call when it is
    // full and after every round of captured frames (or of timed sends), so a
    // group request's answers cost one call per batch, not one per frame.
    void Transmit(std::span<const uint8_t> frame) {
        if (batched_ == kBatch) Flush();
        std::memcpy(batch_.data() + batched_ * lcmp::kMaxFrameSize, frame.data(), frame.size());
        frames_out_[batched_] = {batch_.data() + batched_ * lcmp::kMaxFrameSize, frame.size()};
        ++batched_;
    }

public:
    void Flush() {
        std::size_t done = 0;
        while (done < batched_) {
            std::string error;
            const std::size_t sent = lcmpdevice::FramesSend(
                handle_, std::span<const std::span<const uint8_t>>(frames_out_.data() + done, batched_ - done), &error);
            if (sent > 0) {
                frames_ += static_cast<unsigned long>(sent);
                done += sent;
                continue;
            }
            // The frame at the head failed: count it and go on with the rest.
            if (sendFailures_++ == 0) std::fprintf(stderr, "lcmp-device: sending failed: %s\n", error.c_str());
            ++done;
        }
        batched_ = 0;
    }

private:
    static constexpr std::size_t kBatch = 64;

    const Options &options_;
    pcap_t *handle_ = nullptr;
    std::vector<uint8_t> batch_ = std::vector<uint8_t>(kBatch * lcmp::kMaxFrameSize);
    std::array<std::span<const uint8_t>, kBatch> frames_out_{};
    std::size_t batched_ = 0;
    std::vector<Device> devices_;
    std::unordered_map<uint64_t, std::size_t> byMac_;
    std::vector<uint8_t> scratch_, message_, notification_, ids_;
    std::multimap<Clock::time_point, std::vector<uint8_t>> pending_;
    std::mt19937_64 random_;
    bool late_ = false;  // the answer being sent is a late one
    std::vector<std::pair<uint8_t, Value>> writes_;  // the values of the write request being answered
    uint16_t notificationSequence_ = 0;
    uint32_t ticks_ = 0;
    uint64_t requests_ = 0;
    unsigned long answered_[4] = {}, notifications_ = 0, frames_ = 0, framesQueued_ = 0, dropped_ = 0,
                  malformed_ = 0, sendFailures_ = 0, impaired_[3] = {};
};

// ---- The adapter ----

// Immediate mode and a large kernel ring, only LCMP frames, only frames that
// arrive (the devices' own answers never come back in).
pcap_t *CaptureOpen(const char *adapter) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_create(lcmp::CaptureName(adapter).c_str(), error);
    if (handle == nullptr) {
        std::fprintf(stderr, "lcmp-device: cannot capture on %s: %s\n", adapter, error);
        return nullptr;
    }
    const auto fail = [&](const char *what) {
        std::fprintf(stderr, "lcmp-device: cannot capture on %s: %s%s\n", adapter, what,
                     !lcmptools::Privileged() ? " (needs root, or cap_net_raw,cap_net_admin)" : "");
        pcap_close(handle);
        return nullptr;
    };
    // Without immediate mode (Wine's capture library) a short read timeout
    // stands in for it.
    const bool immediate = pcap_set_immediate_mode(handle, 1) == 0;
    if (pcap_set_snaplen(handle, lcmp::kSnapshotLength) != 0 || pcap_set_promisc(handle, lcmpdevice::PromiscuousCapture() ? 1 : 0) != 0 ||
        (!immediate && pcap_set_timeout(handle, lcmp::kShortReadTimeoutMs) != 0) ||
        pcap_set_buffer_size(handle, lcmp::kCaptureBufferBytes) != 0)
        return fail("capture settings refused");
    if (pcap_activate(handle) < 0) return fail(pcap_geterr(handle));
    if (pcap_datalink(handle) != DLT_EN10MB) return fail("not an Ethernet adapter");
    // Where the capture direction cannot be set (Wine's capture library), the
    // devices' own frames come back in too: confirmations and notifications,
    // which the devices ignore.
    pcap_setdirection(handle, PCAP_D_IN);
    bpf_program program{};
    if (pcap_compile(handle, &program, "ether proto 0x22E3", 1, PCAP_NETMASK_UNKNOWN) != 0) return fail(pcap_geterr(handle));
    const int set = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (set != 0) return fail(pcap_geterr(handle));
    if (pcap_setnonblock(handle, 1, error) != 0) return fail(error);
    return handle;
}

void Capture(u_char *context, const pcap_pkthdr *header, const u_char *bytes) {
    lcmp::HandleFrame(header->ts, std::span<const uint8_t>(bytes, header->caplen), &Fleet::OnMessage, context);
}

int Run(const Options &options, const ParameterTable &table) {
    Fleet fleet(options, table);
    pcap_t *handle = CaptureOpen(options.adapter);
    if (handle == nullptr) return 1;
    std::vector<const uint8_t *> addresses;
    for (const Device &device : fleet.Devices()) addresses.push_back(device.mac.data());
    if (!lcmpdevice::MembershipsAdd(handle, options.adapter, addresses)) {
        pcap_close(handle);
        return 1;
    }
    fleet.Attach(handle);

    lcmpdevice::StopSignalsInstall(&gStop);

    const Device &first = fleet.Devices().front(), &last = fleet.Devices().back();
    std::fprintf(stderr, "lcmp-device: listening on %s, %ld device(s) %s to %s\n", options.adapter, options.count,
                 lcmptools::Mac(first.mac.data()).c_str(), lcmptools::Mac(last.mac.data()).c_str());

    const auto period = std::chrono::milliseconds(options.notifyMs);
    auto nextTick = Clock::now() + period;
    int status = 0;
    while (!gStop) {
        auto now = Clock::now();
        std::optional<Clock::time_point> wake = fleet.SendDue(now);
        if (options.notifyMs > 0) {
            if (now >= nextTick) {
                fleet.NotifyTick();
                while (nextTick <= now) nextTick += period;
            }
            wake = wake ? std::min(*wake, nextTick) : nextTick;
        }
        std::string error;
        const lcmpdevice::Wait ready = lcmpdevice::FramesWait(handle, wake, &error);
        if (ready == lcmpdevice::Wait::Failed) {
            std::fprintf(stderr, "lcmp-device: waiting for frames failed: %s\n", error.c_str());
            status = 1;
            break;
        }
        if (ready == lcmpdevice::Wait::Idle) continue;
        if (ready == lcmpdevice::Wait::Ended) {
            std::fprintf(stderr, "lcmp-device: the capture on %s ended\n", options.adapter);
            status = 1;
            break;
        }
        const int captured = lcmpdevice::FramesRead(handle, Capture, reinterpret_cast<u_char *>(&fleet));
        fleet.Flush();
        if (captured < 0) {
            std::fprintf(stderr, "lcmp-device: capture failed: %s\n", pcap_geterr(handle));
            status = 1;
            break;
        }
    }
    fleet.SendDue(Clock::time_point::max());  // answers still delayed go out before the end
    fleet.PrintSummary();
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    pcap_close(handle);
    return status;
}

int Usage(const char *problem) {
    if (problem != nullptr) std::fprintf(stderr, "lcmp-device: %s\n", problem);
    std::fprintf(stderr,
                 "usage: lcmp-device -i ADAPTER [-n COUNT] [-m FIRST_MAC] [-p PARAMS_FILE] [--notify-ms N]\n"
                 "                   [--delay-us N] [--drop-every N] [--loss PERCENT] [--duplicate PERCENT]\n"
                 "                   [--late PERCENT:MS] [--seed N] [-v]\n"
                 "  numbers are decimal; PERCENT 0 to 100, loss, duplicate and late adding up to at most 100\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    lcmptools::RegistryCreate();
    Options options;
    static const option kLong[] = {{"notify-ms", required_argument, nullptr, 'N'},
                                   {"delay-us", required_argument, nullptr, 'D'},
                                   {"drop-every", required_argument, nullptr, 'X'},
                                   {"loss", required_argument, nullptr, 'L'},
                                   {"duplicate", required_argument, nullptr, 'U'},
                                   {"late", required_argument, nullptr, 'T'},
                                   {"seed", required_argument, nullptr, 'S'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "i:n:m:p:vh", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'i': options.adapter = optarg; break;
            case 'n': {
                const auto n = lcmptools::ParseNumber(optarg, 1, kMaxDevices);
                if (!n) return Usage("bad device count (1 to 100000)");
                options.count = *n;
                break;
            }
            case 'm': {
                const auto mac = lcmptools::ParseMac(optarg);
                if (!mac || ((*mac)[0] & 0x01) != 0) return Usage("bad first address (a unicast aa:bb:cc:dd:ee:ff)");
                std::copy(mac->begin(), mac->end(), options.firstMac.begin());
                break;
            }
            case 'p': options.parameters = optarg; break;
            case 'N': {
                const auto n = lcmptools::ParseNumber(optarg, 1, 86400000);
                if (!n) return Usage("bad --notify-ms (1 to 86400000)");
                options.notifyMs = *n;
                break;
            }
            case 'D': {
                const auto n = lcmptools::ParseNumber(optarg, 0, 60000000);
                if (!n) return Usage("bad --delay-us (0 to 60000000)");
                options.delayUs = *n;
                break;
            }
            case 'X': {
                const auto n = lcmptools::ParseNumber(optarg, 0, std::numeric_limits<long>::max());
                if (!n) return Usage("bad --drop-every (0: none, or N)");
                options.dropEvery = *n;
                break;
            }
            case 'L':
            case 'U': {
                const auto n = lcmptools::ParseNumber(optarg, 0, 100);
                if (!n)
                    return Usage(opt == 'L' ? "bad --loss (a percentage, 0 to 100)"
                                            : "bad --duplicate (a percentage, 0 to 100)");
                (opt == 'L' ? options.lossPercent : options.duplicatePercent) = *n;
                break;
            }
            case 'T': {
                const std::string_view text(optarg);
                const auto colon = text.find(':');
                const auto percent = lcmptools::ParseNumber(text.substr(0, colon), 0, 100);
                const auto ms = colon == std::string_view::npos
                                    ? std::nullopt
                                    : lcmptools::ParseNumber(text.substr(colon + 1), 1, 3600000);
                if (!percent || !ms) return Usage("bad --late (PERCENT:MS, 0 to 100 and 1 to 3600000)");
                options.latePercent = *percent;
                options.lateMs = *ms;
                break;
            }
            case 'S': {
                // A long has 32 bits on Windows: seeds up to its maximum there.
                constexpr long kMaxSeed = static_cast<long>(std::min<long long>(4294967295LL, std::numeric_limits<long>::max()));
                const auto n = lcmptools::ParseNumber(optarg, 0, kMaxSeed);
                if (!n) return Usage("bad --seed (0 to 4294967295)");
                options.seed = static_cast<unsigned long>(*n);
                break;
            }
            case 'v': options.verbose = true; break;
            case 'h': Usage(nullptr); return 0;
            default: return Usage(nullptr);
        }
    }
    if (options.adapter == nullptr || optind != argc) return Usage(options.adapter == nullptr ? "no adapter (-i)" : "unexpected argument");
    if (options.lossPercent + options.duplicatePercent + options.latePercent > 100)
        return Usage("--loss, --duplicate and --late add up to more than 100 percent");
    const long low = options.firstMac[3] << 16 | options.firstMac[4] << 8 | options.firstMac[5];
    if (low + options.count - 1 > 0xFFFFFF) return Usage("the addresses of COUNT devices from FIRST_MAC run past ff:ff:ff in the last three bytes");

    std::optional<ParameterTable> table = options.parameters != nullptr ? LoadTable(options.parameters) : BuiltInTable();
    if (!table) return 2;
    return Run(options, *table);
}

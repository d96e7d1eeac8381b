// Read, Write and Control: compose the request message, release it
// untransmitted, and produce the confirmation entries locally. In device
// mode the request goes to the devices instead (transaction.cpp).
#include <cstring>

#include "LCMP_comm.h"
#include "transaction.h"

namespace lcmp {
namespace {

// The address that stands for the addressed station, or none.
const uint8_t *DestinationAddress(int32_t kind, const uint8_t *deviceMac) noexcept {
    switch (kind) {
        case LCMP_DESTINATION_DEVICE: return deviceMac;
        case LCMP_DESTINATION_MULTICAST: return kMulticastMac;
        case LCMP_DESTINATION_BROADCAST: return kBroadcastMac;
        default: return nullptr;
    }
}

uint8_t FirstByte(const LCMPValue *v) noexcept { return v->length != 0 ? v->value[0] : 0; }

int32_t ReadConfirmation(const LCMPValueList *request, const uint8_t *address, LCMPValueList **result) noexcept {
    uint8_t counter = 0xF0;
    int32_t rc = LCMP_OK;
    if (request == nullptr) return rc;
    for (const LCMPValue *v = request->first; v != nullptr; v = v->next) {
        const std::size_t size = std::size_t{v->length} + 2;
        Buffer value = AllocateBuffer(size);
        if (!value) return LCMP_ERROR_MALLOC;
        value[0] = FirstByte(v);
        for (std::size_t i = 1; i < size; ++i) value[i] = counter++;
        // A failed append leaves the others standing; the operation reports it.
        if (LCMPFullValueAdd(result, address, LCMP_RECORD_PARAMETER, static_cast<uint16_t>(size), value.get()) != 0)
            rc = LCMP_ERROR_MALLOC;
    }
    return rc;
}

int32_t WriteConfirmation(const LCMPValueList *request, const uint8_t *address, LCMPValueList **result) noexcept {
    const uint16_t count = request != nullptr ? request->count : 0;
    const std::size_t size = std::size_t{count} + 1;
    Buffer value = AllocateBuffer(size);
    if (!value) return LCMP_ERROR_MALLOC;
    value[0] = static_cast<uint8_t>(count & 0xFF);
    std::size_t i = 1;
    if (request != nullptr)
        for (const LCMPValue *v = request->first; v != nullptr && i < size; v = v->next) value[i++] = FirstByte(v);
    return LCMPFullValueAdd(result, address, LCMP_RECORD_WRITE_CONFIRM, static_cast<uint16_t>(size), value.get());
}

uint8_t RequestRecordType(int32_t opcode) noexcept {
    switch (opcode) {
        case LCMP_READ_REQ: return LCMP_RECORD_READ_PARAMETER;
        case LCMP_WRITE_REQ: return LCMP_RECORD_PARAMETER;
        default: return LCMP_RECORD_CONTROL_PARAMETER;
    }
}

}  // namespace

int32_t LCMPReqSend(int32_t opcode, LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                    LCMPValueList **resultLocation) noexcept {
    if (RequestModeGet().mode == LCMP_REQUESTS_DEVICE)
        return DeviceRequest(opcode, RequestRecordType(opcode), request, destinationKind, deviceMac, resultLocation);
    if (resultLocation == nullptr) return LCMP_ERROR_BAD_ARGS;
    const uint8_t *address = DestinationAddress(destinationKind, deviceMac);
    {
        Buffer message;
        std::size_t size = 0;
        if (const int32_t rc = ComposeRequest(RequestRecordType(opcode), request, &message, &size); rc != 0) return rc;
        ObserveComposed(opcode, {message.get(), size});
    }  // the request is released untransmitted
    switch (opcode) {
        case LCMP_READ_REQ: return ReadConfirmation(request, address, resultLocation);
        case LCMP_WRITE_REQ: return WriteConfirmation(request, address, resultLocation);
        default: return LCMP_OK;  // no control confirmation is produced
    }
}

}  // namespace lcmp

extern "C" {

int32_t LCMPRead(LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                 LCMPValueList **resultLocation) {
    return lcmp::LCMPReqSend(LCMP_READ_REQ, request, destinationKind, deviceMac, resultLocation);
}

int32_t LCMPWrite(LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                  LCMPValueList **resultLocation) {
    return lcmp::LCMPReqSend(LCMP_WRITE_REQ, request, destinationKind, deviceMac, resultLocation);
}

int32_t LCMPControl(LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                    LCMPValueList **resultLocation) {
    return lcmp::LCMPReqSend(LCMP_CONTROL_REQ, request, destinationKind, deviceMac, resultLocation);
}

}  // extern "C"

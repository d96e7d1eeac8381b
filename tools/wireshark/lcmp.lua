-- Wireshark dissector for LCMP, the G.hn layer-2 configuration and
-- management protocol (Ethertype 0x22E3).
--
-- Install: copy to ~/.local/lib/wireshark/plugins/ (or pass
-- -X lua_script:lcmp.lua to tshark). Every length is checked against the
-- bytes present, so malformed frames are marked, never a Lua error.

local lcmp = Proto("lcmp", "LCMP (G.hn layer-2 management)")

local opcodes = {
    [0x160] = "LCMP_READ_REQ", [0x161] = "LCMP_READ_CNF",
    [0x162] = "LCMP_WRITE_REQ", [0x163] = "LCMP_WRITE_CNF",
    [0x164] = "LCMP_CONTROL_REQ", [0x165] = "LCMP_CONTROL_CNF",
    [0x166] = "LCMP_NOTIFY_IND", [0x167] = "LCMP_NOTIFY_RSP",
}
local record_types = {
    [0] = "parameter", [1] = "write confirmation", [2] = "read-parameter request",
    [3] = "control parameter", [5] = "control confirmation", [6] = "notify record",
    [8] = "notify confirmation",
}

local f = lcmp.fields
f.payload_length = ProtoField.uint16("lcmp.payload_length", "Payload length", base.DEC)
f.opcode = ProtoField.uint16("lcmp.opcode", "Opcode", base.HEX, opcodes)
f.last_segment = ProtoField.uint8("lcmp.last_segment", "Last segment number", base.DEC)
f.segment = ProtoField.uint8("lcmp.segment", "Segment number", base.DEC)
f.sequence = ProtoField.uint16("lcmp.sequence", "Sequence number", base.DEC)
f.lead = ProtoField.uint8("lcmp.lead", "Lead byte", base.HEX)
f.requester = ProtoField.ether("lcmp.requester", "Requester address")
f.area_length = ProtoField.uint16("lcmp.area_length", "Record-area length", base.DEC)
f.flag = ProtoField.uint8("lcmp.flag", "Flag", base.HEX)
f.record_type = ProtoField.uint8("lcmp.record.type", "Record type", base.DEC, record_types)
f.record_length = ProtoField.uint16("lcmp.record.length", "Value length", base.DEC)
f.record_value = ProtoField.bytes("lcmp.record.value", "Value")
f.segment_data = ProtoField.bytes("lcmp.segment_data", "Segment data")

local e_malformed = ProtoExpert.new("lcmp.malformed", "Malformed LCMP", expert.group.MALFORMED, expert.severity.ERROR)
lcmp.experts = { e_malformed }

local shapes = {
    [0x160] = "request", [0x162] = "request", [0x164] = "request",
    [0x161] = "confirmation", [0x163] = "confirmation", [0x165] = "confirmation", [0x167] = "confirmation",
    [0x166] = "notification",
}

local function records(tvb, tree, offset, area, pinfo)
    local count = 0
    while area >= 3 do
        local rtree = tree:add(lcmp, tvb(offset, 3), "Record")
        local rtype = tvb(offset, 1):uint()
        local rlen = tvb(offset + 1, 2):le_uint()
        rtree:add(f.record_type, tvb(offset, 1))
        rtree:add_le(f.record_length, tvb(offset + 1, 2))
        rtree:set_text(string.format("Record: type %d (%s), length %d", rtype, record_types[rtype] or "unknown", rlen))
        if rlen > area - 3 then
            rtree:add_proto_expert_info(e_malformed, "value runs past the record area")
            return count
        end
        if rlen > 0 then rtree:add(f.record_value, tvb(offset + 3, rlen)) end
        rtree:set_len(3 + rlen)
        offset = offset + 3 + rlen
        area = area - 3 - rlen
        count = count + 1
    end
    return count
end

function lcmp.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "LCMP"
    local subtree = tree:add(lcmp, tvb(), "LCMP")
    if tvb:len() < 8 then
        subtree:add_proto_expert_info(e_malformed, "link header cut short")
        pinfo.cols.info = string.format("Malformed LCMP: link header cut short (%d of 8 bytes)", tvb:len())
        return
    end
    local b0, b1, b2, b4 = tvb(0, 1):uint(), tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(4, 1):uint()
    local length = bit.band(b1, 0x0F) * 256 + b0
    local opcode = b2 * 16 + bit.rshift(b1, 4)
    local last = bit.band(b4, 0x0F)
    local segment = bit.rshift(b4, 4)
    local header = subtree:add(lcmp, tvb(0, 8), "Link header")
    header:add(f.payload_length, tvb(0, 2), length)
    header:add(f.opcode, tvb(1, 2), opcode)
    header:add(f.last_segment, tvb(4, 1), last)
    header:add(f.segment, tvb(4, 1), segment)
    header:add_le(f.sequence, tvb(5, 2))
    pinfo.cols.info = string.format("%s (0x%03X) seq %d", opcodes[opcode] or "unknown opcode", opcode,
        tvb(5, 2):le_uint())

    local available = tvb:len() - 8
    if length > available then
        subtree:add_proto_expert_info(e_malformed, string.format("payload length %d, only %d bytes captured", length, available))
        length = available
    end
    if last ~= 0 then
        pinfo.cols.info:append(string.format(", segment %d of %d", segment + 1, last + 1))
        if segment > last then
            subtree:add_proto_expert_info(e_malformed,
                string.format("segment number %d beyond the last-segment number %d", segment, last))
        end
        if length == 0 then
            subtree:add_proto_expert_info(e_malformed, "segment without payload")
        else
            subtree:add(f.segment_data, tvb(8, length))
        end
        return
    end
    if length == 0 then return end
    local payload = tvb(8, length):tvb()
    local shape = shapes[opcode]
    local body = subtree:add(lcmp, payload(), "Message")
    body:add(f.lead, payload(0, 1))
    if payload(0, 1):uint() ~= 0x05 then
        body:add_proto_expert_info(e_malformed, "lead byte is not 0x05")
        return
    end
    if shape == nil then return end
    local need = ({ request = 9, confirmation = 3, notification = 4 })[shape]
    if payload:len() < need then
        body:add_proto_expert_info(e_malformed, "message header cut short")
        return
    end
    local offset, length_at = 3, 1
    if shape == "request" then
        body:add(f.requester, payload(1, 6))
        offset, length_at = 9, 7
    end
    body:add_le(f.area_length, payload(length_at, 2))
    if shape == "notification" then
        body:add(f.flag, payload(3, 1))
        offset = 4
    end
    local area = payload(length_at, 2):le_uint()
    if area > payload:len() - offset then
        body:add_proto_expert_info(e_malformed, "record area runs past the message")
        area = payload:len() - offset
    end
    local n = records(payload, body, offset, area, pinfo)
    pinfo.cols.info:append(string.format(", %d record(s)", n))
end

DissectorTable.get("ethertype"):add(0x22E3, lcmp)

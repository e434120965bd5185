-- Wireshark dissector for the CDEV agent's captures (cdev_agent --capture):
-- pcap files of link type USER0 whose records are a 4-byte prefix (direction,
-- device mode, two zero bytes) and one whole message that crossed the device:
-- the 32-byte message header, then the payload.
--
-- Installed where Wireshark loads Lua plugins (see `tshark -G folders`); by
-- hand: tshark -X lua_script:cdev.lua -r capture.pcap

local cdev = Proto("cdev", "CDEV agent message")

local directions = { [1] = "host to controller", [2] = "controller to host" }
local modes = { [0] = "net_cdev", [1] = "USB" }
local types = {
    [0] = "REQUEST", [1] = "RESPONSE", [2] = "CLOSE",
    [3] = "FORWARD", [4] = "HEARTBEAT", [5] = "INIT",
}
local protocols = { [0] = "TCP", [1] = "UDP" }

local f = cdev.fields
f.direction = ProtoField.uint8("cdev.direction", "Direction", base.DEC, directions)
f.mode = ProtoField.uint8("cdev.mode", "Device mode", base.DEC, modes)
f.type = ProtoField.uint8("cdev.type", "Type", base.DEC, types)
f.source = ProtoField.uint8("cdev.source", "Source", base.DEC)
f.port = ProtoField.uint16("cdev.port", "Port", base.DEC)
f.protocol = ProtoField.uint8("cdev.protocol", "Protocol", base.DEC, protocols)
f.reserved1 = ProtoField.uint8("cdev.reserved1", "Reserved", base.HEX)
f.ret_code = ProtoField.uint16("cdev.ret_code", "Return code", base.HEX)
-- Link ids travel as little-endian values but the agent's log prints the
-- bytes as they lie ("0x%08x" of the big-endian reading): shown the same way
-- here, so that a capture and a log can be matched by eye.
f.peer_link_id = ProtoField.uint32("cdev.peer_link_id", "Peer link id", base.HEX)
f.local_link_id = ProtoField.uint32("cdev.local_link_id", "Local link id", base.HEX)
f.reserved2 = ProtoField.bytes("cdev.reserved2", "Reserved")
f.length = ProtoField.uint32("cdev.length", "Payload length", base.DEC)

local short_message = ProtoExpert.new("cdev.short", "Message shorter than its 32-byte header",
    expert.group.MALFORMED, expert.severity.ERROR)
cdev.experts = { short_message }

local PREFIX_SIZE = 4
local HEADER_SIZE = 32
local data = Dissector.get("data")

function cdev.dissector(tvb, pinfo, tree)
    if tvb:len() < PREFIX_SIZE then
        return 0
    end
    pinfo.cols.protocol = "CDEV"
    local item = tree:add(cdev, tvb())
    local direction = tvb(0, 1):uint()
    item:add(f.direction, tvb(0, 1))
    item:add(f.mode, tvb(1, 1))
    local message = tvb:len() - PREFIX_SIZE
    if message < HEADER_SIZE then
        item:add_proto_expert_info(short_message)
        pinfo.cols.info = string.format("%s, %d bytes: too short",
            directions[direction] or "?", message)
        return tvb:len()
    end
    local h = tvb(PREFIX_SIZE, HEADER_SIZE)
    local type = h(0, 1):uint()
    local header = item:add(h, "Header")
    header:add(f.type, h(0, 1))
    header:add(f.source, h(1, 1))
    header:add(f.port, h(2, 2))
    header:add(f.protocol, h(4, 1))
    header:add(f.reserved1, h(5, 1))
    header:add_le(f.ret_code, h(6, 2))
    header:add(f.peer_link_id, h(8, 4))
    header:add(f.local_link_id, h(12, 4))
    header:add(f.reserved2, h(16, 16))
    local payload = message - HEADER_SIZE
    item:add(f.length, payload):set_generated()
    local info = string.format("%-9s %s", types[type] or tostring(type),
        directions[direction] or "?")
    if type < 4 then  -- the keepalives name no link
        info = info .. string.format(", %s port %d, link 0x%08x/0x%08x, %d bytes",
            protocols[h(4, 1):uint()] or "protocol " .. h(4, 1):uint(), h(2, 2):uint(),
            h(12, 4):uint(), h(8, 4):uint(), payload)
    end
    pinfo.cols.info = info
    if payload > 0 then
        data:call(tvb(PREFIX_SIZE + HEADER_SIZE):tvb(), pinfo, tree)
    end
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, cdev)

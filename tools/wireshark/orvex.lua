-- Wireshark dissector for the OrvexTerm link protocol, in Lua (made with Wireshark 4.0 and its Lua 5.2).
--
--   tshark -X lua_script:tools/wireshark/orvex.lua -r frames.pcapng -Y orvex
--
-- or copy this file into the personal Lua plugins folder (Help > About Wireshark > Folders).
--
-- A frame is an 802.3 frame with the SNAP header AA AA 03 02 7A 41 00 01, maybe behind an
-- 802.1Q tag, then the protocol header: PDU, CID, a reserved word, TSEQ, RSEQ and NBytes,
-- then NBytes of payload. Wireshark 4.0 has no table for this SNAP OUI, so the dissector
-- runs after the others and looks for the LLC fields they found.
--
-- Radios always write the header big-endian. The terminal program writes the header of what
-- it sends to a radio of protocol level 0 or 1 little-endian, so the order of a frame depends
-- on the level of the radio it goes to: learnt from the radio's identify response (byte 47)
-- or from byte 47 of a connect request. When neither was seen the order is guessed from the
-- bytes, and the tree says so.

local orvex = Proto("orvex", "OrvexTerm link protocol")

local SNAP_OUI = 0x027A41
local SNAP_PID = 0x0001
local HEADER_SIZE = 18         -- PDU, CID, reserved, TSEQ, RSEQ, NBytes
local FRAME_HEADER_SIZE = 40   -- what the 802.3 length field counts besides the payload
local MAX_PAYLOAD = 1474
local NAME_FIELD = 47          -- a name and its NUL, before the level byte
local FILE_NAME_LIMIT = 127    -- the program reads no more of a requested name

local PDU = {
  QUIET_DATA = 0, DATA = 1, ACK = 2, ERROR = 3, IDENTIFY_REQUEST = 4, IDENTIFY_RESPONSE = 5,
  CONNECT_REQUEST = 6, CONNECT_ACCEPT = 7, DISCONNECT = 8, FILE_REQUEST = 9, FILE_RESPONSE = 10,
  FILE_DATA = 11, STORED_DATA = 12, RESTORE = 13, DISCOVERY_REQUEST = 0x0400,
}
local pdu_names = {
  [0] = "Quiet data", [1] = "Data", [2] = "Acknowledgement", [3] = "Error report",
  [4] = "Identify request", [5] = "Identify response", [6] = "Connect request",
  [7] = "Connect accept", [8] = "Disconnect", [9] = "File request", [10] = "File response",
  [11] = "File data", [12] = "Stored data", [13] = "Restore",
  [0x0400] = "Identify request (broadcast form)",
}
local file_status_names = { [0] = "open, blocks follow", [-1] = "cannot be opened", [-2] = "invalid name prefix" }

local f = {
  pdu = ProtoField.uint16("orvex.pdu", "PDU type", base.DEC, pdu_names),
  cid = ProtoField.uint16("orvex.cid", "Connection id", base.DEC),
  reserved = ProtoField.uint16("orvex.reserved", "Reserved", base.HEX),
  tseq = ProtoField.uint32("orvex.tseq", "TSEQ", base.DEC),
  rseq = ProtoField.uint32("orvex.rseq", "RSEQ", base.DEC),
  nbytes = ProtoField.uint32("orvex.nbytes", "NBytes", base.DEC),
  byte_order = ProtoField.string("orvex.byte_order", "Header byte order"),
  payload = ProtoField.bytes("orvex.payload", "Payload"),
  text = ProtoField.string("orvex.text", "Text"),
  id_name = ProtoField.string("orvex.identify.name", "Name"),
  id_level = ProtoField.uint8("orvex.identify.level", "Protocol level", base.DEC),
  id_serial = ProtoField.uint32("orvex.identify.serial", "Serial number", base.DEC),
  id_uptime = ProtoField.uint32("orvex.identify.uptime", "Uptime (1/100 s)", base.DEC),
  id_firmware = ProtoField.string("orvex.identify.firmware", "Firmware"),
  conn_host = ProtoField.string("orvex.connect.host", "Host name"),
  conn_level = ProtoField.uint8("orvex.connect.level", "Protocol level", base.DEC),
  file_name = ProtoField.string("orvex.file.name", "File name"),
  file_status = ProtoField.int32("orvex.file.status", "Status", base.DEC, file_status_names),
  file_size = ProtoField.int32("orvex.file.size", "File size", base.DEC),
  file_reserved = ProtoField.bytes("orvex.file.reserved", "Reserved"),
  file_data = ProtoField.bytes("orvex.file.data", "File block"),
  error_text = ProtoField.string("orvex.error.text", "Error text"),
}
orvex.fields = f

local ex = {
  guessed = ProtoExpert.new("orvex.expert.guessed", "Byte order guessed",
                            expert.group.ASSUMPTION, expert.severity.NOTE),
  order = ProtoExpert.new("orvex.expert.order", "Header fits the other byte order better",
                          expert.group.PROTOCOL, expert.severity.WARN),
  level = ProtoExpert.new("orvex.expert.level", "Connect request for another level than the radio told",
                          expert.group.PROTOCOL, expert.severity.WARN),
  malformed = ProtoExpert.new("orvex.expert.malformed", "Malformed frame",
                              expert.group.MALFORMED, expert.severity.ERROR),
  unknown = ProtoExpert.new("orvex.expert.unknown_pdu", "Unknown PDU type",
                            expert.group.PROTOCOL, expert.severity.WARN),
}
orvex.experts = ex

local llc_oui = Field.new("llc.oui")
local llc_pid = Field.new("llc.pid")
local eth_src = Field.new("eth.src")
local eth_dst = Field.new("eth.dst")

-- What the capture taught so far; filled on the first, in-order pass over the frames.
local levels = {}   -- station address -> { level =, frame =, source = }
local hosts = {}    -- station address -> true: it sent an identify request, so it is no radio
local decided = {}  -- frame number -> what the first pass decided, for later passes

-- A capture full of forged addresses must not grow the tables above without
-- bound: past MAX_STATIONS stations the dissector forgets what it learnt about
-- stations, as at the start of a capture, and learns afresh.
local MAX_STATIONS = 4096
local stations = 0

local function learn(tbl, station, value)
  if tbl[station] == nil then
    if stations >= MAX_STATIONS then
      for k in pairs(levels) do levels[k] = nil end
      for k in pairs(hosts) do hosts[k] = nil end
      stations = 0
    end
    stations = stations + 1
  end
  tbl[station] = value
end

function orvex.init()
  levels, hosts, decided = {}, {}, {}
  stations = 0
end

local function mac_text(hex)
  return (hex:lower():gsub("(%x%x)", "%1:"):sub(1, -2))
end

-- The address of the innermost Ethernet header as text, or "?" when there is none.
local function address(field)
  local all = { field() }
  local last = all[#all]
  if not last or last.len ~= 6 then return "?" end
  return mac_text(tostring(last.range:bytes()))
end

local function is_known_pdu(v, big_endian)
  return v <= PDU.RESTORE or (big_endian and v == PDU.DISCOVERY_REQUEST)
end

-- How well the header reads in one byte order: a known PDU type, and an NBytes that
-- matches the length field (payload + 40).
local function score(tvb, h, big_endian, payload_length)
  local pdu = big_endian and tvb(h, 2):uint() or tvb(h, 2):le_uint()
  local nbytes = big_endian and tvb(h + 14, 4):uint() or tvb(h + 14, 4):le_uint()
  local s = is_known_pdu(pdu, big_endian) and 1 or 0
  if payload_length and nbytes == payload_length then s = s + 2 end
  return s
end

local function level_note(entry)
  return string.format("level %d, from the %s in frame %d", entry.level, entry.source, entry.frame)
end

-- A station that told its level and never asked others to identify themselves.
local function is_radio(station)
  return levels[station] ~= nil and not hosts[station]
end

-- Decides the byte order of the header at offset h (first pass only) and learns from the
-- frame what it tells about levels and hosts.
local function decide(tvb, h, src, dst, payload_length, number)
  local b0, b1 = tvb(h, 1):uint(), tvb(h + 1, 1):uint()
  local be_pdu, le_pdu = b0 * 256 + b1, b1 * 256 + b0
  local p = h + HEADER_SIZE
  local available = tvb:len() - p
  local d = {}

  if be_pdu == PDU.IDENTIFY_REQUEST or be_pdu == PDU.DISCOVERY_REQUEST then
    learn(hosts, src, true)
    d.big, d.why = true, "identify requests are always big-endian"
  elseif be_pdu == PDU.IDENTIFY_RESPONSE then
    local nbytes = tvb(h + 14, 4):uint()
    -- A response shorter than 48 bytes stands for level 0, as the program reads it.
    if nbytes < NAME_FIELD + 1 then
      learn(levels, src, { level = 0, frame = number, source = "identify response" })
    elseif available > NAME_FIELD then
      learn(levels, src, { level = tvb(p + NAME_FIELD, 1):uint(), frame = number, source = "identify response" })
    end
    d.big, d.why = true, "identify responses are always big-endian"
  elseif (be_pdu == PDU.CONNECT_REQUEST or le_pdu == PDU.CONNECT_REQUEST)
      and not is_radio(src) and available > NAME_FIELD then
    -- The program's connect request carries the level it writes this very header for.
    local level = tvb(p + NAME_FIELD, 1):uint()
    local known = levels[dst]
    if known and known.level ~= level then
      d.conflict = string.format("The connect request is for level %d, but %s said %s", level, dst,
                                 level_note(known))
    end
    if not known or known.level ~= level then
      learn(levels, dst, { level = level, frame = number, source = "connect request" })
    end
    d.big, d.why = level >= 2, "level " .. level .. " in this connect request"
  elseif levels[dst] then
    d.big, d.why = levels[dst].level >= 2, "sent to a radio of " .. level_note(levels[dst])
  elseif is_radio(src) or hosts[dst] then
    d.big, d.why = true, "sent by a radio: radios always write big-endian"
  else
    local be, le = score(tvb, h, true, payload_length), score(tvb, h, false, payload_length)
    d.big = be >= le
    d.guessed = true
    d.why = "guessed from the bytes: the capture told the level of neither end"
  end
  -- The program writes a file response's status and size little-endian, a radio big-endian.
  if is_radio(dst) or not d.big then
    d.file_big = false
  elseif is_radio(src) or hosts[dst] then
    d.file_big = true
  end
  return d
end

-- Adds a text field of at most `limit` captured bytes at `offset`, ended by a NUL if one
-- comes first.
local function add_text(tree, field, tvb, offset, limit)
  limit = math.min(limit, tvb:len() - offset)
  if limit <= 0 then return end
  local n = 0
  while n < limit and tvb(offset + n, 1):uint() ~= 0 do n = n + 1 end
  if n == 0 then tree:add(field, tvb(offset, 1), "") else tree:add(field, tvb(offset, n)) end
end

local function malformed(item, text)
  item:add_proto_expert_info(ex.malformed, text)
end

local function dissect_identify_response(tvb, p, n, tree, src)
  add_text(tree, f.id_name, tvb, p, math.min(n, NAME_FIELD))
  if n > NAME_FIELD then tree:add(f.id_level, tvb(p + NAME_FIELD, 1)) end
  if n >= 56 then tree:add_le(f.id_uptime, tvb(p + 52, 4)) end
  if n > 56 then add_text(tree, f.id_firmware, tvb, p + 56, math.min(n - 56, 16)) end
  -- The serial number the program shows: the last three bytes of the radio's address.
  local hex = src:gsub(":", "")
  if #hex == 12 then
    tree:add(f.id_serial, tonumber(hex:sub(7), 16)):set_generated()
  end
end

local function dissect_file_response(tvb, p, n, whole, tree, d, item)
  if whole < 8 then
    malformed(item, "A file response needs 8 bytes (status and size), it has " .. whole)
  end
  if n < 8 then return end
  local big = d.file_big
  if big == nil then
    -- Unknown sender: take the order in which the status is one the program sends and the
    -- size is the smaller one.
    local st_be, st_le = tvb(p, 4):int(), tvb(p, 4):le_int()
    local sz_be, sz_le = tvb(p + 4, 4):int(), tvb(p + 4, 4):le_int()
    local ok_be, ok_le = file_status_names[st_be] ~= nil, file_status_names[st_le] ~= nil
    if ok_be ~= ok_le then big = ok_be
    elseif sz_be >= 0 and sz_le >= 0 then big = sz_be <= sz_le
    else big = sz_be >= 0 end
    tree:add_proto_expert_info(ex.guessed, "Byte order of status and size guessed: "
                               .. (big and "big" or "little") .. "-endian")
  end
  local add = big and tree.add or tree.add_le
  add(tree, f.file_status, tvb(p, 4))
  add(tree, f.file_size, tvb(p + 4, 4))
  if n > 8 then tree:add(f.file_reserved, tvb(p + 8, math.min(n - 8, 16))) end
end

-- n: the payload bytes captured; whole: those the frame carried (n unless the capture cut it).
local function dissect_payload(pdu, tvb, p, n, whole, tree, d, src, item, nbytes_range)
  if pdu == PDU.DATA then
    if n > 0 then tree:add(f.text, tvb(p, n)) end
  elseif pdu == PDU.ERROR then
    add_text(tree, f.error_text, tvb, p, n)
  elseif pdu == PDU.IDENTIFY_RESPONSE then
    if n > 0 then dissect_identify_response(tvb, p, n, tree, src) end
  elseif pdu == PDU.CONNECT_REQUEST then
    if whole <= NAME_FIELD then
      malformed(item, "A connect request has 48 bytes, this one " .. whole)
    end
    add_text(tree, f.conn_host, tvb, p, math.min(n, NAME_FIELD))
    if n > NAME_FIELD then tree:add(f.conn_level, tvb(p + NAME_FIELD, 1)) end
  elseif pdu == PDU.FILE_REQUEST then
    add_text(tree, f.file_name, tvb, p, math.min(n, FILE_NAME_LIMIT))
  elseif pdu == PDU.FILE_RESPONSE then
    dissect_file_response(tvb, p, n, whole, tree, d, item)
  elseif pdu == PDU.FILE_DATA then
    if n > 0 then
      tree:add(f.file_data, tvb(p, n)):append_text(" (" .. whole .. " bytes)")
    elseif whole == 0 then
      tree:add(nbytes_range, "Empty file block: the end of the file")
    end
  elseif n > 0 then
    tree:add(f.payload, tvb(p, n))
  end
end

local function dissect(tvb, pinfo, root, oui)
  -- The SNAP header is LLC (3 bytes), OUI (3), PID (2); the protocol header follows it.
  local llc = oui.offset - 3
  local h = oui.offset + 5
  local t = root:add(orvex, tvb(llc, tvb:len() - llc))
  pinfo.cols.protocol = "ORVEX"
  if tvb:len() < h + HEADER_SIZE then
    if tvb:reported_len() < h + HEADER_SIZE then
      malformed(t, string.format("Header cut short: %d of %d bytes", math.max(tvb:len() - h, 0), HEADER_SIZE))
    else
      t:append_text(": the header was not captured whole")
    end
    pinfo.cols.info = "Header cut short"
    return
  end
  local p = h + HEADER_SIZE
  -- The 802.3 length field right before the LLC header counts payload + 40.
  local payload_length
  if llc >= 2 then
    local length = tvb(llc - 2, 2):uint()
    if length >= FRAME_HEADER_SIZE and length <= 1500 then payload_length = length - FRAME_HEADER_SIZE end
    if length < FRAME_HEADER_SIZE then
      malformed(t, string.format("The length field says %d, less than the %d bytes of the header", length,
                                 FRAME_HEADER_SIZE))
    end
  end
  -- Without a length field, what follows the header stands for the payload.
  local expected = payload_length or (tvb:reported_len() - p)
  local src, dst = address(eth_src), address(eth_dst)

  local d = decided[pinfo.number]
  if not d then
    d = decide(tvb, h, src, dst, expected, pinfo.number)
    decided[pinfo.number] = d
  end

  local add = d.big and t.add or t.add_le
  local function value(offset, size)
    return d.big and tvb(h + offset, size):uint() or tvb(h + offset, size):le_uint()
  end
  local pdu, cid, tseq, rseq, nbytes = value(0, 2), value(2, 2), value(6, 4), value(10, 4), value(14, 4)

  local order = t:add(f.byte_order, tvb(h, HEADER_SIZE), d.big and "big-endian" or "little-endian")
  order:append_text(" (" .. d.why .. ")")
  order:set_generated()
  if d.guessed then
    order:add_proto_expert_info(ex.guessed, "Byte order guessed: " .. (d.big and "big" or "little")
                                .. "-endian; no identify response or connect request told the level of " .. dst)
  elseif d.conflict then
    order:add_proto_expert_info(ex.level, d.conflict)
  elseif score(tvb, h, not d.big, expected) > score(tvb, h, d.big, expected) then
    order:add_proto_expert_info(ex.order, "The header reads better " .. (d.big and "little" or "big")
                                .. "-endian: does the sender use the level of its peer?")
  end

  local pdu_item = add(t, f.pdu, tvb(h, 2))
  add(t, f.cid, tvb(h + 2, 2))
  add(t, f.reserved, tvb(h + 4, 2))
  add(t, f.tseq, tvb(h + 6, 4))
  add(t, f.rseq, tvb(h + 10, 4))
  local nbytes_item = add(t, f.nbytes, tvb(h + 14, 4))
  if not pdu_names[pdu] then pdu_item:add_proto_expert_info(ex.unknown, "Unknown PDU type " .. pdu) end

  -- The payload is what NBytes announces, bounded by the frame and the largest payload;
  -- only what was captured of it is read.
  local carried = tvb:reported_length_remaining(p)
  local whole = math.min(nbytes, carried, MAX_PAYLOAD)
  local n = math.min(whole, tvb:len() - p)
  if nbytes > MAX_PAYLOAD then
    malformed(nbytes_item, string.format("NBytes %d is more than the largest payload, %d", nbytes, MAX_PAYLOAD))
  elseif nbytes > carried then
    malformed(nbytes_item, string.format("NBytes %d, but only %d bytes follow the header", nbytes, carried))
  end
  if payload_length and payload_length ~= nbytes then
    malformed(nbytes_item, string.format("The length field counts %d payload bytes, NBytes %d",
                                         payload_length, nbytes))
  end
  if n < whole then t:add(tvb(p, n > 0 and n or 0), string.format("[Payload captured: %d of %d bytes]", n, whole)) end

  local name = pdu_names[pdu] or ("PDU " .. pdu)
  t:append_text(string.format(", %s, CID %d, TSEQ %d, RSEQ %d, NBytes %d", name, cid, tseq, rseq, nbytes))
  pinfo.cols.info = string.format("%s cid=%d tseq=%d rseq=%d n=%d%s", name, cid, tseq, rseq, nbytes,
                                  d.big and "" or " (little-endian)")
  dissect_payload(pdu, tvb, p, n, whole, t, d, src, pdu_item, tvb(h + 14, 4))
end

function orvex.dissector(tvb, pinfo, tree)
  local ouis, pids = { llc_oui() }, { llc_pid() }
  for i = 1, math.min(#ouis, #pids) do
    local oui = ouis[i]
    if oui.value == SNAP_OUI and pids[i].value == SNAP_PID then
      dissect(oui.source or tvb, pinfo, tree, oui)
      return
    end
  end
end

register_postdissector(orvex)

-- Wireshark dissector for Kor telemetry datagrams (UDP port 33322, and any port by heuristic).
--
-- Shows the 8-byte header and every record with each field under its telemetry name, in its
-- unit, and marks as expert errors everything that makes the library's receiver
-- (Kor::Protocol::Device) refuse a datagram. The generated field kor.accepted tells whether
-- that receiver would apply the datagram.
--
-- Works with Wireshark 3.6 and later (Lua 5.2 to 5.4: no bit library is used).

local kor = Proto("kor", "Kor Telemetry")

local KOR_UDP_PORT = 33322
local MIN_DATAGRAM = 11
local MAX_DATAGRAM = 261
local HEADER_LENGTH = 8
local LAST_TYPE = 27
local MAX_PAYLOAD = 65

---------------------------------------------------------------------------------------------
-- Small helpers

-- `count` bits of `value` starting at bit `low` (value is a non-negative integer).
local function bits(value, low, count)
    return math.floor(value / 2 ^ low) % 2 ^ count
end

local function bit(value, n)
    return bits(value, n, 1) == 1
end

local function signed(value, width)
    if value >= 2 ^ (width - 1) then
        return value - 2 ^ width
    end
    return value
end

-- A telemetry string for display: bytes travel unchanged with no character set, so valid
-- UTF-8 sequences are kept and control bytes and stray bytes are written as \xNN.
local function printable(raw)
    local out = {}
    local i = 1
    local n = #raw
    while i <= n do
        local c = raw:byte(i)
        local size = 0
        if c >= 0x20 and c < 0x7F then
            size = 1
        elseif c >= 0xC2 and c <= 0xDF then
            size = 2
        elseif c >= 0xE0 and c <= 0xEF then
            size = 3
        elseif c >= 0xF0 and c <= 0xF4 then
            size = 4
        end
        for k = 1, size - 1 do
            local cont = raw:byte(i + k)
            if cont == nil or cont < 0x80 or cont > 0xBF then
                size = 0
                break
            end
        end
        if size == 0 then
            out[#out + 1] = string.format("\\x%02X", c)
            i = i + 1
        else
            out[#out + 1] = raw:sub(i, i + size - 1)
            i = i + size
        end
    end
    return table.concat(out)
end

---------------------------------------------------------------------------------------------
-- Names

local TYPE_NAMES = {
    [0] = "Timecode", [1] = "BasicLens", [2] = "PtpTimestamp", [3] = "ProductBrand",
    [4] = "ProductName", [5] = "ProductSerial", [6] = "LensProperties",
    [7] = "PositionalData", [8] = "AxesData", [9] = "TickCount", [10] = "LensManufacturer",
    [11] = "LensName", [12] = "LensSerial", [13] = "ProjectFps", [14] = "ClipName",
    [15] = "RawLensEncoderWithMask", [16] = "ZeissZdData", [17] = "IdList", [18] = "FileEnd",
    [19] = "FileTransferName", [20] = "FileTransferInformation", [21] = "FileTransferData",
    [22] = "FileTransferMd5", [23] = "RadioControl", [24] = "ChannelId", [25] = "SensorSize",
    [26] = "RawAxesEncoderWithMask", [27] = "SubjectId",
}

local TICK_UNITS = { [0] = "seconds", [1] = "milliseconds", [2] = "microseconds" }
local TICK_UNIT_SHORT = { [0] = "s", [1] = "ms", [2] = "us" }

local PROJECT_FPS = {
    [0] = "none", [1] = "23.976 fps", [2] = "24 fps", [3] = "25 fps", [4] = "29.97 fps",
    [5] = "30 fps",
}

-- Aperture step table: base code (full stop x 10) to the size of one step above it.
local APERTURE_STEPS = {
    [14] = 0.06, [20] = 0.08, [28] = 0.12, [40] = 0.16, [56] = 0.24, [80] = 0.3,
    [110] = 0.5, [160] = 0.6, [220] = 1.0,
}

---------------------------------------------------------------------------------------------
-- Fields

local f = {}
local function field(key, pf)
    f[key] = pf
end

-- Header
field("header", ProtoField.bytes("kor.header", "Header"))
field("signature", ProtoField.bytes("kor.header.signature", "Signature"))
field("transmission_type", ProtoField.uint8("kor.header.transmission_type",
    "Transmission type", base.DEC, { [0] = "UDP", [1] = "Serial" }))
field("reserved", ProtoField.uint32("kor.header.reserved", "Reserved", base.HEX))
field("accepted", ProtoField.bool("kor.accepted", "Receiver accepts the datagram"))
field("record_count", ProtoField.uint16("kor.record_count", "Records"))

-- Record framing
field("record", ProtoField.none("kor.record", "Record"))
field("type", ProtoField.uint8("kor.type", "Message type", base.DEC, TYPE_NAMES))
field("length", ProtoField.uint8("kor.length", "Length byte (payload length - 1)"))
field("payload_length", ProtoField.uint16("kor.payload_length", "Payload length"))
field("payload", ProtoField.bytes("kor.payload", "Payload"))
field("undecoded", ProtoField.bytes("kor.undecoded", "Undecoded bytes"))

-- Timecode
field("tc", ProtoField.string("kor.timecode", "Timecode"))
field("tc_hours", ProtoField.uint8("kor.timecode.hours", "timecodeHours (h)"))
field("tc_minutes", ProtoField.uint8("kor.timecode.minutes", "timecodeMinutes (min)"))
field("tc_seconds", ProtoField.uint8("kor.timecode.seconds", "timecodeSeconds (s)"))
field("tc_frames", ProtoField.uint8("kor.timecode.frames", "timecodeFrames (frame)"))
field("tc_record", ProtoField.bool("kor.timecode.record_flag", "recordFlag", 8, nil, 0x80))

-- BasicLens
field("focus", ProtoField.uint32("kor.basiclens.focus", "focus (mm)"))
field("zoom", ProtoField.double("kor.basiclens.zoom", "zoom (mm)"))
field("iris", ProtoField.double("kor.basiclens.iris", "iris (T-stop)"))
field("focus_valid", ProtoField.bool("kor.basiclens.focus_valid", "focusValid"))
field("zoom_valid", ProtoField.bool("kor.basiclens.zoom_valid", "zoomValid"))
field("iris_valid", ProtoField.bool("kor.basiclens.iris_valid", "irisValid"))

-- PtpTimestamp
field("ptp_seconds", ProtoField.uint64("kor.ptp.seconds", "ptpSeconds (s)"))
field("ptp_nanoseconds", ProtoField.uint32("kor.ptp.nanoseconds", "ptpNanoseconds (ns)"))

-- String messages, by type
local STRING_FIELDS = {
    [3] = { "kor.product_brand", "productBrand" },
    [4] = { "kor.product_name", "productName" },
    [5] = { "kor.product_serial", "productSerial" },
    [10] = { "kor.lens_manufacturer", "lensManufacturer" },
    [11] = { "kor.lens_name", "lensName" },
    [12] = { "kor.lens_serial", "lensSerial" },
    [14] = { "kor.clip_name", "clipName" },
}
for t, def in pairs(STRING_FIELDS) do
    field("string" .. t, ProtoField.string(def[1], def[2]))
end

-- LensProperties
field("min_focal", ProtoField.double("kor.lensproperties.min_focal_length",
    "minFocalLength (mm)"))
field("max_focal", ProtoField.double("kor.lensproperties.max_focal_length",
    "maxFocalLength (mm)"))
field("min_iris", ProtoField.double("kor.lensproperties.min_iris", "minIris (T-stop)"))
field("max_iris", ProtoField.double("kor.lensproperties.max_iris", "maxIris (T-stop)"))
field("lp_extra", ProtoField.uint8("kor.lensproperties.extra", "lensPropertiesExtra"))
field("min_focal_valid", ProtoField.bool("kor.lensproperties.min_focal_length_valid",
    "minFocalLengthValid"))
field("max_focal_valid", ProtoField.bool("kor.lensproperties.max_focal_length_valid",
    "maxFocalLengthValid"))
field("min_iris_valid", ProtoField.bool("kor.lensproperties.min_iris_valid", "minIrisValid"))
field("max_iris_valid", ProtoField.bool("kor.lensproperties.max_iris_valid", "maxIrisValid"))
field("lp_extra_valid", ProtoField.bool("kor.lensproperties.extra_valid",
    "lensPropertiesExtraValid"))
field("focal_range_flags", ProtoField.uint8("kor.lensproperties.focal_range_flags",
    "focalRangeFlags"))

-- PositionalData and AxesData
local AXES = {
    position = { names = { "positionX", "positionY", "positionZ" }, keys = { "x", "y", "z" },
                 unit = "mm", width = 4, na = 0x80000000 },
    axes = { names = { "roll", "pitch", "yaw" }, keys = { "roll", "pitch", "yaw" },
             unit = "deg", width = 2, na = 0x8000 },
}
for group, def in pairs(AXES) do
    for i = 1, 3 do
        local key = def.keys[i]
        field(group .. "_" .. key, ProtoField.double("kor." .. group .. "." .. key,
            def.names[i] .. " (" .. def.unit .. ")"))
        field(group .. "_" .. key .. "_valid", ProtoField.bool("kor." .. group .. "." .. key
            .. "_valid", def.names[i] .. "Valid"))
    end
end

-- TickCount
field("tickcount", ProtoField.uint64("kor.tickcount", "tickCount"))
field("tickcount_unit", ProtoField.uint8("kor.tickcount.unit", "tickCountType (unit)",
    base.DEC, TICK_UNITS))

-- ProjectFps, ChannelId, SubjectId
field("project_fps", ProtoField.uint8("kor.project_fps", "projectFps", base.DEC, PROJECT_FPS))
field("channel_id", ProtoField.uint8("kor.channel_id", "channelId", base.DEC, { [255] = "none" }))
field("subject_id", ProtoField.uint16("kor.subject_id", "subjectId", base.DEC,
    { [0xFFFF] = "none" }))

-- RawLensEncoderWithMask
field("rl_mask", ProtoField.uint8("kor.raw_lens.mask", "Mask", base.HEX))
field("rl_focus_valid", ProtoField.bool("kor.raw_lens.focus_valid", "rawFocusEncoderValid", 8,
    nil, 0x01))
field("rl_zoom_valid", ProtoField.bool("kor.raw_lens.zoom_valid", "rawZoomEncoderValid", 8,
    nil, 0x02))
field("rl_iris_valid", ProtoField.bool("kor.raw_lens.iris_valid", "rawIrisEncoderValid", 8,
    nil, 0x04))
field("rl_focus", ProtoField.uint16("kor.raw_lens.focus", "rawFocusEncoder (counts)"))
field("rl_zoom", ProtoField.uint16("kor.raw_lens.zoom", "rawZoomEncoder (counts)"))
field("rl_iris", ProtoField.uint16("kor.raw_lens.iris", "rawIrisEncoder (counts)"))

-- ZeissZdData
field("z_focus", ProtoField.uint32("kor.zeiss.focus_distance", "zeissZd.focusDistance"))
field("z_aperture", ProtoField.double("kor.zeiss.aperture", "zeissZd.aperture (stop)"))
field("z_aperture_base", ProtoField.uint8("kor.zeiss.aperture.base_code",
    "Aperture base code (full stop x 10)"))
field("z_aperture_steps", ProtoField.uint8("kor.zeiss.aperture.steps", "Aperture step count"))
field("z_hfov", ProtoField.double("kor.zeiss.horizontal_field_of_view",
    "zeissZd.horizontalFieldOfView"))
field("z_epp", ProtoField.int16("kor.zeiss.entrance_pupil_position",
    "zeissZd.entrancePupilPosition"))
field("z_shading", ProtoField.double("kor.zeiss.shading", "zeissZd.shading"))
field("z_distortion", ProtoField.double("kor.zeiss.radial_distortion",
    "zeissZd.radialDistortion"))

-- RadioControl
field("radio_value", ProtoField.uint24("kor.radio.value", "radioControl.radioValue"))
field("radio_a", ProtoField.uint8("kor.radio.param_a", "radioControl.radioParamA"))
field("radio_b", ProtoField.uint8("kor.radio.param_b", "radioControl.radioParamB"))
field("radio_mode", ProtoField.uint8("kor.radio.mode", "radioControl.radioMode"))
field("radio_c", ProtoField.uint8("kor.radio.param_c", "radioControl.radioParamC"))
field("radio_form", ProtoField.string("kor.radio.form", "Form"))

-- SensorSize
field("sensor_width", ProtoField.double("kor.sensor.width", "sensorWidth (mm)"))
field("sensor_height", ProtoField.double("kor.sensor.height", "sensorHeight (mm)"))
field("clip_width", ProtoField.uint16("kor.sensor.clip_width", "clipWidth (px)"))
field("clip_height", ProtoField.uint16("kor.sensor.clip_height", "clipHeight (px)"))
field("sensor_name", ProtoField.string("kor.sensor.name", "sensorName"))

-- RawAxesEncoderWithMask
field("ra_mask", ProtoField.uint8("kor.raw_axes.mask", "Mask", base.HEX))
for i = 0, 2 do
    field("ra_present" .. i, ProtoField.bool("kor.raw_axes.present_" .. i,
        "rawAxesEncoders[" .. i .. "] present", 8, nil, 2 ^ i))
    field("ra_encoder" .. i, ProtoField.uint24("kor.raw_axes.encoder_" .. i,
        "rawAxesEncoders[" .. i .. "] (counts)"))
end

local field_list = {}
for _, pf in pairs(f) do
    field_list[#field_list + 1] = pf
end
kor.fields = field_list

---------------------------------------------------------------------------------------------
-- Expert infos: each one is something the receiver rejects or a damaged record.

local MALFORMED = expert.group.MALFORMED
local ERROR = expert.severity.ERROR
local ex = {
    length = ProtoExpert.new("kor.expert.length", "Datagram length outside 11 to 261 bytes",
        MALFORMED, ERROR),
    header = ProtoExpert.new("kor.expert.header", "Bad datagram header", MALFORMED, ERROR),
    unknown_type = ProtoExpert.new("kor.expert.unknown_type", "Unknown message type",
        MALFORMED, ERROR),
    reserved_type = ProtoExpert.new("kor.expert.reserved_type",
        "Reserved message type without a decoder", MALFORMED, ERROR),
    payload_length = ProtoExpert.new("kor.expert.payload_length",
        "Payload length does not fit the message type", MALFORMED, ERROR),
    truncated = ProtoExpert.new("kor.expert.truncated",
        "Record cut short by the end of the datagram", MALFORMED, ERROR),
    marker = ProtoExpert.new("kor.expert.marker", "Marker bits wrong", MALFORMED, ERROR),
    value = ProtoExpert.new("kor.expert.value", "Value out of range", MALFORMED, ERROR),
}
kor.experts = { ex.length, ex.header, ex.unknown_type, ex.reserved_type, ex.payload_length,
                ex.truncated, ex.marker, ex.value }

---------------------------------------------------------------------------------------------
-- Payload decoders. Each takes (payload TvbRange, record tree, context) and returns whether
-- the receiver accepts the payload. The payload has already been checked to be non-empty.

local function fixed(number, places, unit)
    local text = string.format("%." .. places .. "f", number)
    if unit ~= nil and unit ~= "" then
        text = text .. " " .. unit
    end
    return text
end

-- Wrong payload length: the payload stays as raw bytes.
local function reject_length(p, tree, expected)
    tree:add(f.payload, p)
    tree:add_proto_expert_info(ex.payload_length, string.format(
        "Payload of %d bytes; this message type needs %s", p:len(), expected))
    return false
end

local decoders = {}

-- Timecode: BCD hours, minutes, seconds; frames in bits 0-6 with the record flag in bit 7.
decoders[0] = function(p, tree, ctx)
    if p:len() ~= 4 then
        return reject_length(p, tree, "4 bytes")
    end
    local function bcd(b, high_bits)
        return bits(b, 0, 4) + 10 * bits(b, 4, high_bits)
    end
    local hb, mb, sb, fb = p(0, 1):uint(), p(1, 1):uint(), p(2, 1):uint(), p(3, 1):uint()
    local h, m, s, fr = bcd(hb, 4), bcd(mb, 4), bcd(sb, 4), bcd(fb, 3)
    local rec = bit(fb, 7)
    local text = string.format("%02d:%02d:%02d:%02d", h, m, s, fr)
    tree:add(f.tc, p, text):set_generated()
    tree:add(f.tc_hours, p(0, 1), h, string.format("timecodeHours: %d h (BCD 0x%02X)", h, hb))
    tree:add(f.tc_minutes, p(1, 1), m,
        string.format("timecodeMinutes: %d min (BCD 0x%02X)", m, mb))
    tree:add(f.tc_seconds, p(2, 1), s,
        string.format("timecodeSeconds: %d s (BCD 0x%02X)", s, sb))
    tree:add(f.tc_frames, p(3, 1), fr,
        string.format("timecodeFrames: %d (BCD 0x%02X)", fr, bits(fb, 0, 7)))
    tree:add(f.tc_record, p(3, 1))
    ctx.summary = text .. (rec and " REC" or "")
    return true
end

-- A field whose zero value means "not available": its valid flag, then the value (or a
-- note in its place).
local function add_optional(tree, range, raw, value, value_field, valid_field, name, text)
    tree:add(valid_field, range, raw ~= 0):set_generated()
    if raw == 0 then
        tree:add(f.payload, range):set_text(name .. ": not available (0)")
    else
        tree:add(value_field, range, value, text)
    end
end

-- BasicLens: focus u24 mm, zoom x100 u24 mm, iris x100 u16 T-stop; zero = not available.
decoders[1] = function(p, tree, ctx)
    if p:len() ~= 8 then
        return reject_length(p, tree, "8 bytes")
    end
    local focus, zoom, iris = p(0, 3):uint(), p(3, 3):uint(), p(6, 2):uint()
    add_optional(tree, p(0, 3), focus, focus, f.focus, f.focus_valid, "focus",
        string.format("focus: %d mm", focus))
    add_optional(tree, p(3, 3), zoom, zoom / 100, f.zoom, f.zoom_valid, "zoom",
        string.format("zoom: %s (raw %d)", fixed(zoom / 100, 2, "mm"), zoom))
    add_optional(tree, p(6, 2), iris, iris / 100, f.iris, f.iris_valid, "iris",
        string.format("iris: T%s (raw %d)", fixed(iris / 100, 2), iris))
    local function shown(raw, text)
        return raw == 0 and "n/a" or text
    end
    ctx.summary = string.format("focus %s, zoom %s, iris %s", shown(focus, focus .. " mm"),
        shown(zoom, fixed(zoom / 100, 2, "mm")), shown(iris, "T" .. fixed(iris / 100, 2)))
    return true
end

-- PtpTimestamp: seconds u48, nanoseconds u32.
decoders[2] = function(p, tree, ctx)
    if p:len() ~= 10 then
        return reject_length(p, tree, "10 bytes")
    end
    local sec = p(0, 6):uint64()
    local ns = p(6, 4):uint()
    tree:add(f.ptp_seconds, p(0, 6), sec, "ptpSeconds: " .. tostring(sec) .. " s")
    tree:add(f.ptp_nanoseconds, p(6, 4), ns, string.format("ptpNanoseconds: %d ns", ns))
    ctx.summary = string.format("%s.%09d s", tostring(sec), ns)
    return true
end

-- String messages: the bytes as they are; at most 65 (checked with the framing).
local function string_decoder(t)
    return function(p, tree, ctx)
        local text = printable(p:raw())
        tree:add(f["string" .. t], p, text,
            string.format("%s: \"%s\" (%d bytes)", STRING_FIELDS[t][2], text, p:len()))
        ctx.summary = "\"" .. text .. "\""
        return true
    end
end
for t, _ in pairs(STRING_FIELDS) do
    decoders[t] = string_decoder(t)
end

-- LensProperties: focal lengths x100 u24 mm (all 24 bits), irises x100 u16, one extra byte.
decoders[6] = function(p, tree, ctx)
    if p:len() ~= 11 then
        return reject_length(p, tree, "11 bytes")
    end
    local minf, maxf = p(0, 3):uint(), p(3, 3):uint()
    local mini, maxi = p(6, 2):uint(), p(8, 2):uint()
    local extra = p(10, 1):uint()
    local function opt(range, raw, value_field, valid_field, name, unit_prefix, unit)
        add_optional(tree, range, raw, raw / 100, value_field, valid_field, name, string.format(
            "%s: %s%s (raw %d)", name, unit_prefix, fixed(raw / 100, 2, unit), raw))
    end
    opt(p(0, 3), minf, f.min_focal, f.min_focal_valid, "minFocalLength", "", "mm")
    opt(p(3, 3), maxf, f.max_focal, f.max_focal_valid, "maxFocalLength", "", "mm")
    opt(p(6, 2), mini, f.min_iris, f.min_iris_valid, "minIris", "T", "")
    opt(p(8, 2), maxi, f.max_iris, f.max_iris_valid, "maxIris", "T", "")
    tree:add(f.lp_extra_valid, p(10, 1), extra ~= 0):set_generated()
    tree:add(f.lp_extra, p(10, 1))
    local flags = (minf ~= 0 and 2 or 0) + (maxf ~= 0 and 1 or 0)
    tree:add(f.focal_range_flags, flags):set_generated()
    ctx.summary = string.format("%s-%s mm, T%s-T%s", fixed(minf / 100, 2), fixed(maxf / 100, 2),
        fixed(mini / 100, 2), fixed(maxi / 100, 2))
    return true
end

-- PositionalData (i32 x100 mm) and AxesData (i16 x100 degrees); the most negative value
-- means "not available".
local function axes_decoder(group)
    local def = AXES[group]
    local size = def.width * 3
    return function(p, tree, ctx)
        if p:len() ~= size then
            return reject_length(p, tree, size .. " bytes")
        end
        local parts = {}
        for i = 1, 3 do
            local key = group .. "_" .. def.keys[i]
            local range = p((i - 1) * def.width, def.width)
            local raw = range:uint()
            local valid = raw ~= def.na
            tree:add(f[key .. "_valid"], range, valid):set_generated()
            if valid then
                local value = signed(raw, def.width * 8) / 100
                tree:add(f[key], range, value, string.format("%s: %s (raw %d)", def.names[i],
                    fixed(value, 2, def.unit), signed(raw, def.width * 8)))
                parts[#parts + 1] = fixed(value, 2)
            else
                tree:add(f.payload, range):set_text(string.format(
                    "%s: not available (0x%X)", def.names[i], raw))
                parts[#parts + 1] = "n/a"
            end
        end
        ctx.summary = table.concat(parts, ", ") .. " " .. def.unit
        return true
    end
end
decoders[7] = axes_decoder("position")
decoders[8] = axes_decoder("axes")

-- TickCount: 3, 4 or 5 bytes; the length is the unit.
decoders[9] = function(p, tree, ctx)
    local n = p:len()
    if n < 3 or n > 5 then
        return reject_length(p, tree, "3, 4 or 5 bytes")
    end
    local unit = n - 3
    local count = p:uint64()
    tree:add(f.tickcount, p, count, string.format("tickCount: %s %s", tostring(count),
        TICK_UNIT_SHORT[unit]))
    tree:add(f.tickcount_unit, unit):set_generated()
    ctx.summary = tostring(count) .. " " .. TICK_UNIT_SHORT[unit]
    return true
end

-- ProjectFps: one byte, code 0 to 5.
decoders[13] = function(p, tree, ctx)
    if p:len() ~= 1 then
        return reject_length(p, tree, "1 byte")
    end
    local code = p:uint()
    local item = tree:add(f.project_fps, p)
    ctx.summary = PROJECT_FPS[code] or ("code " .. code)
    if code > 5 then
        item:add_proto_expert_info(ex.value, string.format(
            "projectFps code %d is above 5", code))
        return false
    end
    return true
end

-- RawLensEncoderWithMask: mask, then three u16 counts (stored only when their bit is set).
decoders[15] = function(p, tree, ctx)
    if p:len() ~= 7 then
        return reject_length(p, tree, "7 bytes")
    end
    local mask_item = tree:add(f.rl_mask, p(0, 1))
    mask_item:add(f.rl_focus_valid, p(0, 1))
    mask_item:add(f.rl_zoom_valid, p(0, 1))
    mask_item:add(f.rl_iris_valid, p(0, 1))
    local mask = p(0, 1):uint()
    local names = { "rawFocusEncoder", "rawZoomEncoder", "rawIrisEncoder" }
    local keys = { f.rl_focus, f.rl_zoom, f.rl_iris }
    for i = 1, 3 do
        local range = p(1 + (i - 1) * 2, 2)
        local item = tree:add(keys[i], range)
        if not bit(mask, i - 1) then
            item:append_text(" (not valid: mask bit clear)")
        end
    end
    ctx.summary = string.format("mask 0x%02X, %d/%d/%d", mask, p(1, 2):uint(), p(3, 2):uint(),
        p(5, 2):uint())
    return true
end

-- ZeissZdData: marker-bit groups in bytes 0-9, then shading and distortion slots.
decoders[16] = function(p, tree, ctx)
    if p:len() ~= 34 then
        return reject_length(p, tree, "34 bytes")
    end
    local b = {}
    for i = 0, 9 do
        b[i] = p(i, 1):uint()
    end
    local ok = true
    local function marker(item, good, what)
        if not good then
            item:add_proto_expert_info(ex.marker, "ZeissZdData marker bits wrong: " .. what)
            ok = false
        end
    end

    local focus = 0
    local focus_good = true
    for i = 0, 3 do
        focus = focus * 64 + bits(b[i], 0, 6)
        if bits(b[i], 6, 2) ~= 1 then
            focus_good = false
        end
    end
    marker(tree:add(f.z_focus, p(0, 4), focus, string.format("zeissZd.focusDistance: %d",
        focus)), focus_good, "bytes 0-3 need bits 7-6 = 01")

    local base_code = (bit(b[5], 6) and 128 or 0) + bits(b[4], 0, 7)
    local steps = bits(b[5], 0, 4)
    local step = APERTURE_STEPS[base_code] or 0
    local aperture = steps * step + base_code / 10
    local ap_item = tree:add(f.z_aperture, p(4, 2), aperture, string.format(
        "zeissZd.aperture: %s (base %s + %d x %s)", fixed(aperture, 2), fixed(base_code / 10, 1),
        steps, tostring(step)))
    ap_item:add(f.z_aperture_base, p(4, 2), base_code)
    ap_item:add(f.z_aperture_steps, p(5, 1), steps)
    marker(ap_item, bit(b[4], 7) and bit(b[5], 7) and bits(b[5], 4, 2) == 0,
        "byte 4 needs bit 7 set, byte 5 bit 7 set and bits 5-4 clear")

    local h = bits(b[6], 0, 5) * 64 + bits(b[7], 0, 6)
    marker(tree:add(f.z_hfov, p(6, 2), h / 10, string.format(
        "zeissZd.horizontalFieldOfView: %s (raw %d)", fixed(h / 10, 1), h)),
        bits(b[6], 5, 3) == 2 and bits(b[7], 6, 2) == 1,
        "byte 6 needs bits 7-5 = 010, byte 7 bits 7-6 = 01")

    local magnitude = bits(b[8], 0, 4) * 64 + bits(b[9], 0, 6)
    local epp = bit(b[8], 5) and -magnitude or magnitude
    marker(tree:add(f.z_epp, p(8, 2), epp, string.format(
        "zeissZd.entrancePupilPosition: %d", epp)),
        bit(b[8], 6) and not bit(b[8], 4) and bits(b[9], 6, 2) == 1,
        "byte 8 needs bit 6 set and bit 4 clear, byte 9 bits 7-6 = 01")

    for i = 0, 5 do
        local range = p(10 + 2 * i, 2)
        local slot = range:uint()
        local value = 100 - slot / 10
        tree:add(f.z_shading, range, value, string.format(
            "zeissZd.shading[%d]: %s (slot %d)", i, fixed(value, 1), slot))
    end
    for i = 0, 5 do
        local range = p(22 + 2 * i, 2)
        local slot = range:int()
        local value = slot / 100
        tree:add(f.z_distortion, range, value, string.format(
            "zeissZd.radialDistortion[%d]: %s (slot %d)", i, fixed(value, 2), slot))
    end
    ctx.summary = string.format("focus distance %d, aperture %s", focus, fixed(aperture, 2))
    return ok
end

-- RadioControl: short form of 5 bytes, long form of 7 with mode and parameter C.
decoders[23] = function(p, tree, ctx)
    local n = p:len()
    if n ~= 5 and n ~= 7 then
        return reject_length(p, tree, "5 or 7 bytes")
    end
    tree:add(f.radio_form, n == 5 and "short" or "long"):set_generated()
    tree:add(f.radio_value, p(0, 3))
    tree:add(f.radio_a, p(3, 1))
    local raw_b = p(4, 1):uint()
    local param_b = (raw_b + 5) % 256
    tree:add(f.radio_b, p(4, 1), param_b, string.format(
        "radioControl.radioParamB: %d (sent as %d)", param_b, raw_b))
    if n == 7 then
        tree:add(f.radio_mode, p(5, 1))
        tree:add(f.radio_c, p(6, 1))
    end
    ctx.summary = string.format("%s form, value %d", n == 5 and "short" or "long",
        p(0, 3):uint())
    return true
end

-- ChannelId: one byte, 255 = none.
decoders[24] = function(p, tree, ctx)
    if p:len() ~= 1 then
        return reject_length(p, tree, "1 byte")
    end
    tree:add(f.channel_id, p)
    ctx.summary = tostring(p:uint())
    return true
end

-- SensorSize: width and height x100 u16 mm, image size in pixels, optional name.
decoders[25] = function(p, tree, ctx)
    local n = p:len()
    if n < 8 or n > 64 then
        return reject_length(p, tree, "8 to 64 bytes")
    end
    local w, h = p(0, 2):uint(), p(2, 2):uint()
    tree:add(f.sensor_width, p(0, 2), w / 100, string.format("sensorWidth: %s (raw %d)",
        fixed(w / 100, 2, "mm"), w))
    tree:add(f.sensor_height, p(2, 2), h / 100, string.format("sensorHeight: %s (raw %d)",
        fixed(h / 100, 2, "mm"), h))
    tree:add(f.clip_width, p(4, 2))
    tree:add(f.clip_height, p(6, 2))
    ctx.summary = string.format("%s x %s mm, %d x %d px", fixed(w / 100, 2), fixed(h / 100, 2),
        p(4, 2):uint(), p(6, 2):uint())
    if n > 8 then
        local name = printable(p(8, n - 8):raw())
        tree:add(f.sensor_name, p(8, n - 8), name,
            string.format("sensorName: \"%s\" (%d bytes)", name, n - 8))
        ctx.summary = ctx.summary .. ", \"" .. name .. "\""
    end
    return true
end

-- RawAxesEncoderWithMask: mask, then three u24 counts (stored only when their bit is set).
decoders[26] = function(p, tree, ctx)
    if p:len() ~= 10 then
        return reject_length(p, tree, "10 bytes")
    end
    local mask_item = tree:add(f.ra_mask, p(0, 1))
    local mask = p(0, 1):uint()
    local parts = {}
    for i = 0, 2 do
        mask_item:add(f["ra_present" .. i], p(0, 1))
        local item = tree:add(f["ra_encoder" .. i], p(1 + 3 * i, 3))
        if not bit(mask, i) then
            item:append_text(" (not present: mask bit clear)")
        end
        parts[#parts + 1] = tostring(p(1 + 3 * i, 3):uint())
    end
    ctx.summary = string.format("mask 0x%02X, %s", mask, table.concat(parts, "/"))
    return true
end

-- SubjectId: u16, or a single byte; 0xFFFF = none.
decoders[27] = function(p, tree, ctx)
    local n = p:len()
    if n ~= 1 and n ~= 2 then
        return reject_length(p, tree, "1 or 2 bytes")
    end
    tree:add(f.subject_id, p)
    ctx.summary = tostring(p:uint())
    return true
end

---------------------------------------------------------------------------------------------
-- Datagram

-- Dissects the records from `offset` on; returns the number of records and whether the
-- receiver accepts all of them.
local function dissect_records(tvb, tree, offset, infos)
    local len = tvb:len()
    local count = 0
    local accepted = true
    while offset < len do
        local t = tvb(offset, 1):uint()
        local name = TYPE_NAMES[t] or ("Unknown (" .. t .. ")")
        count = count + 1

        if t > LAST_TYPE then
            local rec = tree:add(f.record, tvb(offset, len - offset))
            rec:set_text(string.format("Record %d: unknown type %d", count, t))
            rec:add(f.type, tvb(offset, 1))
            rec:add_proto_expert_info(ex.unknown_type, string.format(
                "Message type %d is above %d; the rest of the datagram cannot be parsed",
                t, LAST_TYPE))
            if offset + 1 < len then
                rec:add(f.undecoded, tvb(offset + 1, len - offset - 1))
            end
            infos[#infos + 1] = "type " .. t .. "?"
            return count, false
        end

        if offset + 1 >= len then
            local rec = tree:add(f.record, tvb(offset, 1))
            rec:set_text(string.format("Record %d: %s (type %d), no length byte", count, name,
                t))
            rec:add(f.type, tvb(offset, 1))
            rec:add_proto_expert_info(ex.truncated,
                "Record cut short: the datagram ends after its type byte")
            infos[#infos + 1] = name .. " (cut short)"
            -- The receiver ignores a lone type byte at the end.
            return count, accepted
        end

        local announced = tvb(offset + 1, 1):uint() + 1
        local available = len - offset - 2
        local take = math.min(announced, available)
        local rec = tree:add(f.record, tvb(offset, 2 + take))
        rec:add(f.type, tvb(offset, 1))
        rec:add(f.length, tvb(offset + 1, 1))
        rec:add(f.payload_length, announced):set_generated()
        local ctx = {}
        local ok = true

        if announced > MAX_PAYLOAD then
            rec:add_proto_expert_info(ex.payload_length, string.format(
                "Payload of %d bytes announced; at most %d are allowed", announced,
                MAX_PAYLOAD))
        end
        if take < announced then
            rec:add_proto_expert_info(ex.truncated, string.format(
                "Record cut short: %d payload bytes announced, %d present", announced, take))
        end

        -- The receiver stops at the 66th payload byte, and reads a length byte of 255 (256
        -- bytes) as an empty payload followed by more records; it refuses both.
        local refused = take > MAX_PAYLOAD or announced == 256
        if t >= 17 and t <= 22 then
            if take > 0 then
                rec:add(f.payload, tvb(offset + 2, take))
            end
            rec:add_proto_expert_info(ex.reserved_type, string.format(
                "Message type %d (%s) is reserved; the receiver has no decoder for it", t, name))
            ok = false
        elseif take == 0 then
            rec:add_proto_expert_info(ex.payload_length, "Empty payload")
            ok = false
        elseif refused then
            rec:add(f.payload, tvb(offset + 2, take))
            ok = false
        else
            ok = decoders[t](tvb(offset + 2, take), rec, ctx)
        end

        local label = string.format("Record %d: %s (type %d), %d payload bytes", count, name, t,
            take)
        if ctx.summary ~= nil then
            label = label .. ": " .. ctx.summary
        end
        rec:set_text(label)
        infos[#infos + 1] = name .. (ctx.summary and (" " .. ctx.summary) or "")
        accepted = accepted and ok
        offset = offset + 2 + take
    end
    return count, accepted
end

function kor.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    pinfo.cols.protocol = "Kor"
    local root = tree:add(kor, tvb())
    local accepted = true

    if len < MIN_DATAGRAM or len > MAX_DATAGRAM then
        root:add_proto_expert_info(ex.length, string.format(
            "Datagram of %d bytes; the receiver takes %d to %d", len, MIN_DATAGRAM,
            MAX_DATAGRAM))
        accepted = false
    end

    local infos = {}
    local count = 0
    local header_len = math.min(len, HEADER_LENGTH)
    local header = root:add(f.header, tvb(0, header_len))
    header:add(f.signature, tvb(0, math.min(len, 3)))
    if len < 3 or tvb(0, 3):uint() ~= 0x00FF00 then
        header:add_proto_expert_info(ex.header, "The datagram does not start 00 FF 00")
        accepted = false
    end
    if len >= 4 then
        header:add(f.transmission_type, tvb(3, 1))
    end
    if len >= HEADER_LENGTH then
        header:add(f.reserved, tvb(4, 4))
    end
    local nonzero = {}
    for i = 3, header_len - 1 do
        if tvb(i, 1):uint() ~= 0 then
            nonzero[#nonzero + 1] = tostring(i)
        end
    end
    if #nonzero > 0 then
        header:add_proto_expert_info(ex.header, "Header byte(s) " .. table.concat(nonzero, ", ")
            .. " not zero")
        accepted = false
    end
    if len < HEADER_LENGTH then
        header:add_proto_expert_info(ex.truncated, "Datagram ends inside the 8-byte header")
        accepted = false
    else
        local records_ok
        count, records_ok = dissect_records(tvb, root, HEADER_LENGTH, infos)
        accepted = accepted and records_ok
    end

    root:add(f.record_count, count):set_generated()
    root:add(f.accepted, accepted):set_generated()
    root:append_text(string.format(", %d record%s%s", count, count == 1 and "" or "s",
        accepted and "" or " [rejected by receiver]"))
    local info = table.concat(infos, "; ")
    if not accepted then
        info = "[Malformed] " .. info
    end
    pinfo.cols.info = info
    return len
end

local function heuristic(tvb, pinfo, tree)
    if tvb:len() < 3 or tvb(0, 3):uint() ~= 0x00FF00 then
        return false
    end
    kor.dissector(tvb, pinfo, tree)
    return true
end

DissectorTable.get("udp.port"):add(KOR_UDP_PORT, kor)
kor:register_heuristic("udp", heuristic)

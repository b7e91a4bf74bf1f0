-- The Mudlet script of the package against stand-ins for the mapper and the GMCP events.
-- Usage: lua5.1 pelthollow_script_test.lua path/to/pelthollow.lua
local rooms, areas, areaIds, handlers, labels = {}, {}, {}, {}, {}
local centred
function roomExists(n) return rooms[n] ~= nil end
function addRoom(n) assert(not rooms[n], "room added twice"); rooms[n] = { exits = {} } end
function setRoomCoordinates(n, x, y, z) rooms[n].x, rooms[n].y, rooms[n].z = x, y, z end
function setRoomName(n, name) rooms[n].name = name end
function setRoomArea(n, id) assert(areaIds[id], "no such area"); rooms[n].area = id end
function setExit(from, to, dir) assert(rooms[to], "exit to no room"); rooms[from].exits[dir] = to end
function getAreaTable() local t = {}; for k, v in pairs(areas) do t[k] = v end; return t end
local nextArea = 0
function addAreaName(name)
  assert(not areas[name], "area added twice")
  nextArea = nextArea + 1; areas[name] = nextArea; areaIds[nextArea] = name
  return nextArea
end
function centerview(n) centred = n end
function createLabel(name) labels[name] = "" end
function echo(name, text) assert(labels[name], "echo to no label"); labels[name] = text end
local nextHandler = 0
function registerAnonymousEventHandler(event, f)
  nextHandler = nextHandler + 1; handlers[nextHandler] = { event = event, f = f }
  return nextHandler
end
function killAnonymousEventHandler(id) handlers[id] = nil end
local function raise(event)
  for _, h in pairs(handlers) do if h.event == event then h.f(event) end end
end

local failures = 0
local function check(ok, what)
  if not ok then failures = failures + 1; print("FAIL: " .. what) end
end

dofile(arg[1])
gmcp = { Room = {}, Char = {} }

-- Entering play at (6,23), then a step north to (6,22): one room each, placed north up,
-- joined by their exits, in one area, the view on the room entered.
gmcp.Room.Info = { num = 696, name = "the Mossfold warriors' den", area = "Mossfold",
                   coords = { x = 6, y = 23 }, exits = { n = 666, e = 697 } }
raise("gmcp.Room.Info")
gmcp.Room.Info = { num = 666, name = "Mossfold territory", area = "Mossfold",
                   coords = { x = 6, y = 22 }, exits = { s = 696 } }
raise("gmcp.Room.Info")
check(rooms[696].x == 6 and rooms[696].y == -23, "the room's place from its coordinates")
check(rooms[666].y == rooms[696].y + 1, "north is up")
check(rooms[696].exits.n == 666 and rooms[666].exits.s == 696, "exits both ways")
check(rooms[697] and rooms[697].x == 7 and rooms[697].y == -23, "a neighbour placed from its number")
check(rooms[666].name == "Mossfold territory", "the room's name")
check(rooms[666].area == areas.Mossfold and rooms[696].area == areas.Mossfold, "one area")
check(centred == 666, "the view follows the cat")

-- Another area: the border column.
gmcp.Room.Info = { num = 14, area = "the border", coords = { x = 14, y = 0 }, exits = {} }
raise("gmcp.Room.Info")
check(areaIds[rooms[14].area] == "the border", "a second area")

gmcp.Char.Vitals = { hunger = 7, hungerMax = 10, bodyHeat = 3, bodyHeatMax = 5, note = "x" }
raise("gmcp.Char.Vitals")
check(labels.pelthollowVitals == "Body heat 3/5  Hunger 7/10", "vitals: " .. tostring(labels.pelthollowVitals))

-- Loaded again, the script leaves one handler per event.
dofile(arg[1])
local count = 0
for _ in pairs(handlers) do count = count + 1 end
check(count == 2, "handlers after reloading: " .. count)

if failures > 0 then os.exit(1) end
print("PASS: the Mudlet script")

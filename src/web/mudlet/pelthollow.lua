-- Pelthollow for Mudlet: draws the territory in the mapper from GMCP Room.Info and
-- shows the cat's health from Char.Vitals in a label. Cell numbers are y * 30 + x.
pelthollow = pelthollow or {}
local P = pelthollow

P.size = 30
P.label = "pelthollowVitals"

-- The number of an area, added on first use.
function P.areaId(name)
  local id = getAreaTable()[name]
  if id then return id end
  return addAreaName(name)
end

-- A room made on first sight; its place comes from its number. Mudlet's y grows to the
-- north, the territory's to the south.
function P.ensureRoom(num, area)
  if roomExists(num) then return end
  addRoom(num)
  setRoomCoordinates(num, num % P.size, -math.floor(num / P.size), 0)
  setRoomArea(num, area)
end

function P.onRoomInfo()
  local info = gmcp.Room and gmcp.Room.Info
  if not info or not info.num then return end
  local num = tonumber(info.num)
  local area = P.areaId(info.area or "Pelthollow")
  P.ensureRoom(num, area)
  setRoomArea(num, area)
  if info.coords then setRoomCoordinates(num, info.coords.x, -info.coords.y, 0) end
  if info.name then setRoomName(num, info.name) end
  for dir, to in pairs(info.exits or {}) do
    to = tonumber(to)
    -- A neighbour not seen yet is drawn in this area until it is entered.
    P.ensureRoom(to, area)
    setExit(num, to, dir)
  end
  centerview(num)
end

-- "bodyHeat" as "Body heat".
function P.title(key)
  local words = key:gsub("(%l)(%u)", "%1 %2"):lower()
  return (words:gsub("^%l", string.upper))
end

-- Every pair "x" and "xMax", in the order of their names.
function P.vitalsText(vitals)
  local keys = {}
  for key, value in pairs(vitals) do
    if type(value) == "number" and type(vitals[key .. "Max"]) == "number" then
      keys[#keys + 1] = key
    end
  end
  table.sort(keys)
  local parts = {}
  for _, key in ipairs(keys) do
    parts[#parts + 1] = string.format("%s %d/%d", P.title(key), vitals[key], vitals[key .. "Max"])
  end
  return table.concat(parts, "  ")
end

function P.onVitals()
  local vitals = gmcp.Char and gmcp.Char.Vitals
  if not vitals then return end
  if not P.labelMade then
    createLabel(P.label, 0, 0, 900, 24, 1)
    P.labelMade = true
  end
  echo(P.label, P.vitalsText(vitals))
end

-- Loading the script again replaces its handlers.
for _, id in ipairs(P.handlers or {}) do killAnonymousEventHandler(id) end
P.handlers = {
  registerAnonymousEventHandler("gmcp.Room.Info", P.onRoomInfo),
  registerAnonymousEventHandler("gmcp.Char.Vitals", P.onVitals),
}

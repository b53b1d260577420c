-- A small free-roam game mode: greets players, keeps a visit counter and logs departures.
local visits = 0

function GetGreeting()
    return Greeting, visits
end

Events.Subscribe("resourceStart", function(name)
    if name == "freeroam" then
        Console.Log("freeroam started")
    end
end)

-- Sent by the client once its scripts are loaded.
Events.Subscribe("freeroam:ready", function()
    local player = Events.GetSource()
    visits = visits + 1
    Events.CallRemote("freeroam:welcome", player, { Greeting .. ", " .. Player.GetName(player) .. "!" })
    Chat.BroadcastMessage(Player.GetName(player) .. " joined (visit " .. visits .. ")")
end, true)

Events.Subscribe("playerDisconnect", function(id, name, code)
    Console.Log(name .. " (" .. id .. ") left with code " .. code)
end)

-- Prints the number of players once a minute from a script thread.
Thread.Create(function()
    while true do
        Thread.Pause(60000)
        Console.Log("players in session 0: " .. Session.GetSize(0))
    end
end)

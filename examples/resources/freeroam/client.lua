-- Runs in the game client; the server only caches and serves it.
Events.Subscribe("freeroam:welcome", function(text)
    Chat.AddMessage(text)
end)

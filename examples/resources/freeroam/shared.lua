-- Loaded on the server and sent (encrypted) to every client.
Greeting = "Welcome to Lanternfall"

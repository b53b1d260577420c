#pragma once

#include <cstdint>

// The native functions of the script API modules Chat, Player, Session, Events, Resource, Console
// and Thread. Each follows the calling convention of ScriptFunctionRegistry.h and is registered
// under its namespace by a static entry in its module's source file, in the order listed here.

// Chat (ScriptChat.cpp)
int32_t ScriptChatSendMessage(void* state);
int32_t ScriptChatBroadcastMessage(void* state);

// Player (ScriptPlayer.cpp)
int32_t ScriptPlayerIsConnected(void* state);
int32_t ScriptPlayerGetName(void* state);
int32_t ScriptPlayerSetName(void* state);
int32_t ScriptPlayerGetPing(void* state);
int32_t ScriptPlayerKick(void* state);
int32_t ScriptPlayerSetSession(void* state);
int32_t ScriptPlayerGetSession(void* state);
int32_t ScriptPlayerIsSessionActive(void* state);

// Session (ScriptSession.cpp)
int32_t ScriptSessionGetSize(void* state);
int32_t ScriptSessionGetHostID(void* state);
int32_t ScriptSessionGetActivePlayers(void* state);

// Events (ScriptEvents.cpp)
int32_t ScriptEventsSubscribe(void* state);
int32_t ScriptEventsCall(void* state);
int32_t ScriptEventsCallRemote(void* state);
int32_t ScriptEventsBroadcastRemote(void* state);
int32_t ScriptEventsGetSource(void* state);
int32_t ScriptEventsCancel(void* state);
int32_t ScriptEventsWasLastCanceled(void* state);

// Resource (ScriptResource.cpp)
int32_t ScriptResourceGetState(void* state);
int32_t ScriptResourceCall(void* state);

// Console (ScriptConsole.cpp)
int32_t ScriptConsoleLog(void* state);

// Thread (ScriptThread.cpp)
int32_t ScriptThreadCreate(void* state);
int32_t ScriptThreadPause(void* state);

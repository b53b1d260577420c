#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ScriptVM;
struct HttpResponse;
struct ScriptFunctionRef;

// Script module HTTP (ScriptHTTP.cpp), registered as "Request" and "RequestAsync".

// HTTP.Request(url, method, body, contentType, headers): Lua gets status and text, Squirrel one array
// [status, text]. Blocks the calling thread for the whole transfer.
int32_t ScriptHTTPRequest(void* state);

// HTTP.RequestAsync(url, method, body, contentType, headers, callback): the transfer runs on the
// HTTP client pool; callback(status, text) runs later on the main thread, between passes. It is
// dropped without a word when the calling resource has been stopped (or restarted) or the calling
// script thread has ended by then.
int32_t ScriptHTTPRequestAsync(void* state);

// Calls `callback` on `vm` with the response's status and text, logging the failure to push or to
// call it. Main thread only.
void InvokeHTTPRequestCallback(ScriptVM* vm, const ScriptFunctionRef& callback, const std::string& url,
                               const HttpResponse& response);

// Accepted asynchronous requests whose callback has not yet been delivered or dropped.
size_t GetPendingHTTPRequestCount();

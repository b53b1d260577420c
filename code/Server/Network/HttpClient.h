#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

enum class HttpMethod
{
    Get,
    Post,
    Put,
    Head,
    Delete,
    Patch,
    Options,
};

// Header and form fields in the caller's order.
using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest
{
    HttpMethod method = HttpMethod::Get;
    std::string url;
    std::string body;
    // Keys compare without regard to case; of keys differing only in case the first one is sent.
    // An empty value is sent as an empty header, not dropped.
    HttpFields headers;
};

struct HttpResponse
{
    int32_t status = 0; // 0 when the transfer failed
    std::string body;   // as received (content encodings decoded)
    std::string error;  // the transfer library's message when the transfer failed
};

// Blocking HTTP(S) requests over libcurl, plus a small shared pool for requests made in the background.
// Only the library's defaults apply: no time-out, proxy or authentication of our own; redirects are
// followed as the script API always did.
class HttpClient
{
public:
    static HttpResponse Perform(const HttpRequest& request);

    // POST of an url-encoded form: "key=value" pairs in order joined by "&", keys and values encoded.
    static HttpResponse PostForm(const std::string& url, const HttpFields& fields);
    static std::string EncodeForm(const HttpFields& fields);

    // Runs `task` on one of the pool's threads. The pool grows on demand up to a fixed size, so a few
    // stalled transfers do not hold up the rest; its threads live until the process ends.
    static void Submit(std::function<void()> task);
};

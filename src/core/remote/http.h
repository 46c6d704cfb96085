// A minimal HTTP/1.1 client for talking JSON to a remote vesk server.
//
// One request per connection ("Connection: close"); the response is read until
// the server closes. Errors are returned as the text shown to Python callers.
#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include "json/value.h"

namespace vesk::remote {

// The server string as it goes into the Host header and error texts: white
// space around it trimmed, every leading "http://" and every trailing "/"
// removed.
std::string server_authority(std::string_view server);

// Whether `text` holds a byte below 0x20 or 0x7F: such a byte in a request's
// method, path or token would let a caller write headers of their own.
bool has_control_character(std::string_view text);

// Sends METHOD PATH to `server` with a bearer token and an optional JSON body
// (nullptr: no body), and returns the parsed JSON answer of a 2xx response.
// `limit` bounds the connect and every single send and receive.
std::expected<json::Value, std::string> http_request(std::string_view server, std::string_view token,
                                                     std::string_view method, std::string_view path,
                                                     const json::Value* body, std::chrono::nanoseconds limit);

}  // namespace vesk::remote

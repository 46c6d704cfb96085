// One exchange with the remote scheduling service, as Client and Worker make
// it, with the outcome turned into Python's terms.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.h"
#include "py_ref.h"

namespace vesk::py {

// Sends the request and returns the service's JSON answer. A token with a
// control character is refused with ValueError before anything is sent; a
// failed exchange or a status outside 2xx raises RuntimeError with its text.
// nullopt when an error was raised. With `release_gil` the interpreter lock
// is let go for the exchange; otherwise other Python threads wait.
std::optional<json::Value> call_service(const std::string& server, const std::string& token, std::string_view method,
                                        const std::string& path, const json::Value* body,
                                        std::chrono::nanoseconds limit, bool release_gil);

}  // namespace vesk::py

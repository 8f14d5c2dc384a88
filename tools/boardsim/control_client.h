// The client side of the board's control channel: one request line, one reply line.
#pragma once

#include <optional>
#include <string>

// Sends line to the board listening at socketPath and returns its reply without the line end;
// nothing when the board cannot be reached or does not answer within timeoutMs.
std::optional<std::string> ControlRequest(const std::string& socketPath, const std::string& line, int timeoutMs = 10000);

// The value of the word "key=value" in a reply line; "" when the reply has no such word.
std::string ControlField(const std::string& reply, const std::string& key);

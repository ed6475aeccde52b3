// The HTTP pieces of the web session that hold no session state: the
// access key and its comparison, the cookie that carries it, the address
// --web listens on, JSON replies and refusals, and a download's name.
// Includes only base/ and the HTTP and JSON libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "base/vexo_types.h"

// A new access key: `bytes` random bytes from the system's source
// (getrandom, else /dev/urandom) as hex digits; false without a source.
bool web_RandomKey(std::size_t bytes, std::string* key);
// Compares without leaving the position of the first difference in the time.
bool web_SameKey(const std::string& given, const std::string& key);
// The value of one cookie in a Cookie header, empty when absent.
std::string web_CookieValue(const std::string& header, const std::string& name);
// True for the methods that change something (POST, PUT, DELETE, PATCH).
bool web_IsChange(const std::string& method);

// Parses the --web address ("ADDRESS:PORT", "[ADDRESS]:PORT", "ADDRESS" or
// "PORT"); false when it is not one. Port 0 asks for a free port.
bool web_ParseListen(const std::string& text, std::string* host, int* port);
// True for 127.0.0.0/8, ::1 and "localhost".
bool web_IsLoopback(const std::string& host);
// An address as it stands in a URL or Host header: IPv6 in brackets.
std::string web_HostForUrl(const std::string& host);

// A JSON answer with its status.
void web_Reply(httplib::Response& res, int status, const nlohmann::ordered_json& body);
// A refusal: {"error": "refused", "message": ...}, and the connection closed.
void web_Refuse(httplib::Response& res, int status, const std::string& message);
// A card operation's failure with vexo's message.
void web_ReplyResult(httplib::Response& res, VexoResult result);

// "song.mp3" -> "song"
std::string web_Stem(const std::string& name);
// "Song.FLAC" -> ".FLAC", kept on an upload's file so that its tags are read
// by its kind; empty for an extension of other than 1 to 8 letters or digits.
std::string web_Extension(const std::string& name);
// A header value for a download's name: an ASCII fallback and the UTF-8 name.
std::string web_Disposition(const std::string& name);

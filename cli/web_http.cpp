#include "cli/web_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/result_codes.h"

using Json = nlohmann::ordered_json;

namespace {

// Random bytes from the system's source: getrandom, else /dev/urandom.
bool RandomBytes(uint8_t* bytes, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = getrandom(bytes + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == count) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  got = 0;
  while (got < count) {
    const ssize_t n = read(fd, bytes + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  return got == count;
}

std::string Hex(const uint8_t* bytes, std::size_t count) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

bool web_RandomKey(std::size_t bytes, std::string* key) {
  std::string raw(bytes, '\0');
  if (!RandomBytes(reinterpret_cast<uint8_t*>(raw.data()), bytes)) return false;
  *key = Hex(reinterpret_cast<const uint8_t*>(raw.data()), bytes);
  return true;
}

// Compares without leaving the position of the first difference in the time.
bool web_SameKey(const std::string& given, const std::string& key) {
  if (given.size() != key.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < key.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ key[i]);
  }
  return difference == 0;
}

// The value of one cookie in a Cookie header, empty when absent.
std::string web_CookieValue(const std::string& header, const std::string& name) {
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    std::string pair = header.substr(at, end - at);
    const std::size_t first = pair.find_first_not_of(' ');
    pair = first == std::string::npos ? "" : pair.substr(first);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

std::string web_HostForUrl(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

void web_Reply(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void web_Refuse(httplib::Response& res, int status, const std::string& message) {
  web_Reply(res, status, {{"error", "refused"}, {"message", message}});
  res.set_header("Connection", "close");
}

void web_ReplyResult(httplib::Response& res, VexoResult result) {
  web_Reply(res, 422, {{"error", -result}, {"message", vexo_ResultMessage(result)}});
}

bool web_IsChange(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "DELETE" || method == "PATCH";
}

// "song.mp3" -> "song"
std::string web_Stem(const std::string& name) {
  const std::size_t slash = name.find_last_of("/\\");
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot != 0) base.resize(dot);
  return base;
}

// "Song.FLAC" -> ".FLAC"; empty unless the extension is 1 to 8 letters or
// digits, so that the name of an upload's file is always safe.
std::string web_Extension(const std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot - 1 > 8 || dot + 1 == name.size()) return "";
  for (std::size_t i = dot + 1; i < name.size(); ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return "";
  }
  return name.substr(dot);
}

// A header value for a download's name: an ASCII fallback and the UTF-8 name.
std::string web_Disposition(const std::string& name) {
  std::string ascii;
  std::string encoded;
  for (unsigned char c : name) {
    ascii += (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '/') ? static_cast<char>(c) : '_';
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
      encoded += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      encoded += escape;
    }
  }
  return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

bool web_IsLoopback(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return (ntohl(address.s_addr) >> 24) == 127;
  }
  return false;
}

bool web_ParseListen(const std::string& text, std::string* host, int* port) {
  *host = "";
  *port = 0;
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    *host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      portText = text.substr(close + 2);
    }
  } else if (text.find(':') != text.rfind(':')) {
    *host = text;  // a bare IPv6 address
  } else if (const std::size_t colon = text.find(':'); colon != std::string::npos) {
    *host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  } else if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    portText = text;
  } else {
    *host = text;
  }
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    *port = std::atoi(portText.c_str());
    if (*port > 65535) return false;  // 0: a free port
  }
  if (host->empty()) return true;
  in6_addr v6{};
  in_addr v4{};
  return *host == "localhost" || inet_pton(AF_INET, host->c_str(), &v4) == 1 ||
         inet_pton(AF_INET6, host->c_str(), &v6) == 1;
}

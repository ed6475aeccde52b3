#include "cli/web_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "card/charset.h"
#include "card/header.h"
#include "card/playlist.h"
#include "cli/listing_json.h"
#include "cli/web_assets.h"
#include "cli/web_worker.h"
#include "media/songs.h"
#include "host/pauses.h"
#include "base/result_codes.h"
#include "transport/transport.h"

using Json = nlohmann::ordered_json;

namespace {

constexpr std::size_t kKeyBytes = 16;          // 128 bits
constexpr std::size_t kBodyMax = 64 * 1024;    // a JSON request
constexpr std::size_t kNameMax = 255;          // an uploaded file's name
constexpr uint64_t kUploadMax = 0xFFFFFFFFull;  // no card holds more

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

// Compares without leaving the position of the first difference in the time.
bool SameKey(const std::string& given, const std::string& key) {
  if (given.size() != key.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < key.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ key[i]);
  }
  return difference == 0;
}

// The value of one cookie in a Cookie header, empty when absent.
std::string CookieValue(const std::string& header, const std::string& name) {
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

std::string HostForUrl(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

void Reply(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void Refuse(httplib::Response& res, int status, const std::string& message) {
  Reply(res, status, {{"error", "refused"}, {"message", message}});
  res.set_header("Connection", "close");
}

void ReplyResult(httplib::Response& res, VexoResult result) {
  Reply(res, 422, {{"error", -result}, {"message", vexo_ResultMessage(result)}});
}

bool IsChange(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "DELETE" || method == "PATCH";
}

// "song.mp3" -> "song"
std::string Stem(const std::string& name) {
  const std::size_t slash = name.find_last_of("/\\");
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot != 0) base.resize(dot);
  return base;
}

// A header value for a download's name: an ASCII fallback and the UTF-8 name.
std::string Disposition(const std::string& name) {
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

}  // namespace

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

struct WebSession::State {
  struct HostFile {
    std::string path;
    std::string name;  // as the page named it; a title or a download name, never a path
    uint64_t size = 0;
    bool restore = false;
  };

  WebConfig config;
  std::string key;
  std::string cookieName;
  int port = 0;
  std::string shownHost;
  bool exposed = false;
  bool portOpen = false;
  std::vector<std::string> hosts;  // accepted Host header values
  std::string folder;
  std::unique_ptr<WebCardWorker> worker;
  std::vector<std::unique_ptr<httplib::Server>> servers;
  std::vector<std::thread> threads;

  std::mutex filesMutex;
  uint64_t nextFile = 1;
  std::map<uint64_t, HostFile> uploads;
  std::map<uint64_t, HostFile> downloads;
  std::atomic<uint64_t> freeBytes{0};
  std::atomic<uint64_t> cardSize{0};
  Json lastListing;  // under filesMutex

  int32_t kind() const { return config.kind; }

  // ---- on the worker ----

  WebOutcome Listing() {
    VexoResult result = 0;
    Json listing = cli_CardListing(config.kind, config.port, config.slot, &result);
    vexo_SettleDelay(config.kind);
    if (result == 0 || result == -VEXO_ERROR_NO_VALID_HEADER) {
      freeBytes = result == 0 ? listing["freeBytes"].get<uint64_t>()
                              : listing["cardSize"].get<uint64_t>();
      cardSize = listing["cardSize"].get<uint64_t>();
      std::lock_guard<std::mutex> lock(filesMutex);
      lastListing = listing;
      return {0, listing};
    }
    return {result, Json()};
  }

  // A header operation, then the card as it now stands.
  WebOutcome Change(VexoResult result) {
    vexo_SettleDelay(config.kind);
    if (result != 0) return {result, Json()};
    return Listing();
  }

  uint64_t ReservedBytes() {
    uint64_t total = 0;
    for (const auto& [id, file] : uploads) {
      if (!file.restore) total += file.size;
    }
    return total;
  }

  std::string NewFilePath(const char* prefix, uint64_t* id) {
    *id = nextFile++;
    return folder + "/" + prefix + std::to_string(*id);
  }

  void DropFile(std::map<uint64_t, HostFile>& files, uint64_t id) {
    const auto found = files.find(id);
    if (found == files.end()) return;
    std::remove(found->second.path.c_str());
    files.erase(found);
  }

  bool StopWanted() const { return vexo_StopRequested() || worker->StopRequested(); }

  // The uploaded songs, each added whole as --import adds it; a song that
  // cannot go on the card is reported and skipped.
  WebOutcome AddSongs(const std::vector<uint64_t>& ids) {
    Json songs = Json::array();
    unsigned added = 0;
    VexoResult failure = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      HostFile file;
      {
        std::lock_guard<std::mutex> lock(filesMutex);
        const auto found = uploads.find(ids[i]);
        if (found == uploads.end() || found->second.restore) continue;
        file = found->second;
      }
      if (StopWanted()) {
        failure = -VEXO_ERROR_TRANSFER_STOPPED;
        break;
      }
      const std::string title = title_FromUtf8(song_Title(Song{file.path, Stem(file.name)}));
      worker->SetStep({std::to_string(i + 1) + " of " + std::to_string(ids.size()) + ": " +
                           title_ToUtf8(title.c_str()),
                       file.size});
      const VexoResult result =
          card_AddTitle(config.kind, config.port, config.slot, 0, nullptr, file.path.c_str(),
                        title.c_str(), 0, IsMp3FileName(file.name.c_str()) ? 1 : 2, true);
      songs.push_back({{"name", file.name}, {"title", title_ToUtf8(title.c_str())},
                       {"result", -result}, {"message", vexo_ResultMessage(result)}});
      {
        std::lock_guard<std::mutex> lock(filesMutex);
        DropFile(uploads, ids[i]);
      }
      if (result == 0) {
        ++added;
      } else if (!IsSongRefusal(result) || StopWanted()) {
        failure = StopWanted() ? -VEXO_ERROR_TRANSFER_STOPPED : result;
        break;
      }
    }
    vexo_SettleDelay(config.kind);
    return {failure, {{"added", added}, {"of", ids.size()}, {"songs", songs}}};
  }

  static bool IsSongRefusal(VexoResult result) {
    switch (-result) {
      case VEXO_ERROR_FILE_NOT_EXIST:
      case VEXO_ERROR_FILE_SIZE_ZERO:
      case VEXO_ERROR_FILE_NOT_OPEN:
      case VEXO_ERROR_FILE_READ:
      case VEXO_ERROR_NOT_REGULAR_FILE:
      case VEXO_ERROR_CARD_FULL:
        return true;
      default:
        return false;
    }
  }

  // A copy from the card into the private folder, offered as a download.
  WebOutcome CopyFromCard(const std::string& name, uint64_t bytes,
                          const std::function<VexoResult(const char*)>& copy) {
    uint64_t id = 0;
    std::string path;
    {
      std::lock_guard<std::mutex> lock(filesMutex);
      while (!downloads.empty()) DropFile(downloads, downloads.begin()->first);
      path = NewFilePath("download-", &id);
    }
    worker->SetStep({name, bytes});
    VexoResult result = copy(path.c_str());
    vexo_SettleDelay(config.kind);
    // The driver clears its stop flag when its copy begins, so a stop asked
    // for while the header was still being read would be lost: a copy the
    // user stopped is never offered, however far it got.
    if (result == 0 && StopWanted()) result = -VEXO_ERROR_TRANSFER_STOPPED;
    if (result != 0) {
      std::remove(path.c_str());
      return {result, Json()};
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return {-VEXO_ERROR_FILE_CREATE, Json()};
    std::lock_guard<std::mutex> lock(filesMutex);
    downloads[id] = HostFile{path, name, static_cast<uint64_t>(info.st_size), false};
    return {0, {{"download", id}, {"name", name}, {"size", info.st_size}}};
  }

  // ---- HTTP ----

  // Every request passes here before its route and before its body is read.
  bool Admit(const httplib::Request& req, httplib::Response& res) {
    const std::string host = req.get_header_value("Host");
    bool knownHost = false;
    for (const std::string& allowed : hosts) knownHost = knownHost || host == allowed;
    if (!knownHost) {
      Refuse(res, 403, "This page answers only at the address vexo printed.");
      return false;
    }
    std::string given = req.get_header_value("X-Vexo-Key");
    if (given.empty()) given = CookieValue(req.get_header_value("Cookie"), cookieName);
    const bool entry = req.method == "GET" && req.path == "/" && req.has_param("key");
    if (entry) given = req.get_param_value("key");
    if (!SameKey(given, key)) {
      Refuse(res, 403, "Open the address vexo printed, with its key.");
      return false;
    }
    if (req.method != "GET" && req.method != "HEAD" && !IsChange(req.method)) {
      Refuse(res, 405, "Not allowed.");
      return false;
    }
    if (IsChange(req.method)) {
      const std::string own = "http://" + host;
      const std::string origin = req.get_header_value("Origin");
      const std::string referer = req.get_header_value("Referer");
      const bool sameOrigin = req.has_header("Origin")
                                  ? origin == own
                                  : referer.compare(0, own.size() + 1, own + "/") == 0;
      if (!sameOrigin) {
        Refuse(res, 403, "Changes are accepted only from vexo's own page.");
        return false;
      }
    }
    if (req.has_header("Transfer-Encoding")) {
      Refuse(res, 411, "A request needs its length.");
      return false;
    }
    const uint64_t length = req.get_header_value<uint64_t>("Content-Length");
    if (req.path == "/api/uploads") {
      const bool restore = req.get_param_value("purpose") == "restore";
      uint64_t room = 0;
      {
        std::lock_guard<std::mutex> lock(filesMutex);
        const uint64_t reserved = ReservedBytes();
        room = restore ? cardSize.load() : (freeBytes > reserved ? freeBytes - reserved : 0);
      }
      if (!req.has_header("Content-Length") || length == 0) {
        Refuse(res, 411, "A file to upload needs its length.");
        return false;
      }
      if (length > room) {
        Reply(res, 413, {{"error", restore ? VEXO_ERROR_CARD_TOO_LARGE : VEXO_ERROR_CARD_FULL},
                         {"message", vexo_ResultMessage(restore ? -VEXO_ERROR_CARD_TOO_LARGE
                                                                : -VEXO_ERROR_CARD_FULL)}});
        res.set_header("Connection", "close");
        return false;
      }
    } else if (length > kBodyMax) {
      Refuse(res, 413, "The request is too large.");
      return false;
    }
    return true;
  }

  // Runs a short operation and answers with its outcome.
  void RunShort(httplib::Response& res, const std::string& name,
                const std::function<WebOutcome()>& operation) {
    WebOutcome outcome;
    if (!worker->RunNow(name, operation, &outcome)) {
      Busy(res);
      return;
    }
    if (outcome.result != 0) {
      ReplyResult(res, outcome.result);
    } else {
      Reply(res, 200, outcome.data.is_null() ? Json{{"ok", true}} : outcome.data);
    }
  }

  // Starts a long operation; the page follows it through /api/progress.
  void RunLong(httplib::Response& res, const std::string& name,
               const std::function<WebOutcome()>& operation) {
    const uint64_t id = worker->Submit(name, operation);
    if (id == 0) {
      Busy(res);
      return;
    }
    Reply(res, 202, {{"id", id}, {"operation", name}});
  }

  void Busy(httplib::Response& res) {
    const Json progress = worker->Progress();
    Reply(res, 409, {{"error", "busy"},
                     {"operation", progress.value("operation", "")},
                     {"message", "The card is busy; wait until the running operation has ended."}});
  }

  static bool ParseBody(const httplib::Request& req, httplib::Response& res, Json* body) {
    *body = Json::parse(req.body, nullptr, false);
    if (body->is_discarded() || !body->is_object()) {
      Refuse(res, 400, "The request is not a JSON object.");
      return false;
    }
    return true;
  }

  static bool NumberField(const Json& body, const char* name, int32_t* value) {
    const auto found = body.find(name);
    if (found == body.end() || !found->is_number_integer()) return false;
    const int64_t number = found->get<int64_t>();
    if (number < 1 || number > 0xFFFF) return false;
    *value = static_cast<int32_t>(number);
    return true;
  }

  // {"uploads": [ids]}: every id one of this session's uploads, each once.
  bool UploadIds(const Json& body, httplib::Response& res, std::vector<uint64_t>* ids) {
    const auto found = body.find("uploads");
    bool ok = found != body.end() && found->is_array() && !found->empty();
    if (ok) {
      std::lock_guard<std::mutex> lock(filesMutex);
      for (const Json& item : *found) {
        ok = ok && item.is_number_unsigned() && uploads.count(item.get<uint64_t>()) == 1;
        if (!ok) break;
        const uint64_t id = item.get<uint64_t>();
        for (uint64_t seen : *ids) ok = ok && seen != id;
        ids->push_back(id);
      }
    }
    if (!ok) Refuse(res, 400, "Upload the files first.");
    return ok;
  }

  void Routes(httplib::Server& server);
};

void WebSession::State::Routes(httplib::Server& server) {
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return Admit(req, res) ? httplib::Server::HandlerResponse::Unhandled
                           : httplib::Server::HandlerResponse::Handled;
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    Refuse(res, 500, "Internal error.");
  });

  server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("key")) {
      // The key leaves the address (and the history) for a cookie scripts cannot read.
      res.set_header("Set-Cookie", cookieName + "=" + key + "; Path=/; HttpOnly; SameSite=Strict");
      res.set_redirect("/", 303);
      return;
    }
    const WebAsset* page = web_FindAsset("/index.html");
    res.set_content(reinterpret_cast<const char*>(page->bytes), page->size, page->contentType);
  });
  server.Get(R"(/([a-z]+\.(css|js|png|svg)))", [](const httplib::Request& req, httplib::Response& res) {
    const WebAsset* asset = web_FindAsset(req.path);
    if (asset == nullptr) {
      Refuse(res, 404, "Not found.");
      return;
    }
    res.set_content(reinterpret_cast<const char*>(asset->bytes), asset->size, asset->contentType);
  });

  server.Get("/api/card", [this](const httplib::Request&, httplib::Response& res) {
    RunShort(res, "list", [this] { return Listing(); });
  });
  server.Get("/api/progress", [this](const httplib::Request&, httplib::Response& res) {
    Reply(res, 200, worker->Progress());
  });
  server.Post("/api/stop", [this](const httplib::Request&, httplib::Response& res) {
    worker->RequestStop();
    Reply(res, 200, {{"ok", true}});
  });

  server.Put("/api/card", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    if (!body.contains("name") || !body["name"].is_string()) {
      Refuse(res, 400, "A card name is needed.");
      return;
    }
    const std::string name = title_FromUtf8(body["name"].get<std::string>());
    RunShort(res, "rename card", [this, name] {
      return Change(card_ChangeCard(config.kind, config.port, config.slot, 0, name.c_str()));
    });
  });
  server.Put(R"(/api/titles/(\d{1,5}))", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    if (!body.contains("title") || !body["title"].is_string()) {
      Refuse(res, 400, "A title is needed.");
      return;
    }
    const int32_t number = std::atoi(req.matches[1].str().c_str());
    const std::string title = title_FromUtf8(body["title"].get<std::string>());
    RunShort(res, "rename", [this, number, title] {
      return Change(card_ChangeTitle(config.kind, config.port, config.slot, number, title.c_str()));
    });
  });
  server.Delete(R"(/api/titles/(\d{1,5}))", [this](const httplib::Request& req, httplib::Response& res) {
    const int32_t number = std::atoi(req.matches[1].str().c_str());
    RunShort(res, "delete", [this, number] {
      if (config.kind == VEXO_PORT_ROS) return WebOutcome{-VEXO_ERROR_NOT_SUPPORTED, Json()};
      return Change(card_DeleteTitle(config.kind, config.port, config.slot, number));
    });
  });
  server.Post("/api/move", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    int32_t from = 0;
    int32_t to = 0;
    if (!ParseBody(req, res, &body)) return;
    if (!NumberField(body, "from", &from) || !NumberField(body, "to", &to)) {
      Refuse(res, 400, "A move needs the places from and to.");
      return;
    }
    RunShort(res, "move", [this, from, to] {
      return Change(card_MoveTitle(config.kind, config.port, config.slot, from, to));
    });
  });

  server.Post("/api/uploads", [this](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) {
    const std::string name = req.get_param_value("name").substr(0, kNameMax);
    const bool restore = req.get_param_value("purpose") == "restore";
    const uint64_t length = req.get_header_value<uint64_t>("Content-Length");
    uint64_t id = 0;
    std::string path;
    {
      std::lock_guard<std::mutex> lock(filesMutex);
      path = NewFilePath("upload-", &id);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      ReplyResult(res, -VEXO_ERROR_FILE_CREATE);
      return;
    }
    uint64_t written = 0;
    bool ok = reader([&](const char* data, std::size_t size) {
      if (written + size > length) return false;
      for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
      }
      written += size;
      return true;
    });
    ok = close(fd) == 0 && ok && written == length;
    if (!ok) {
      std::remove(path.c_str());
      ReplyResult(res, -VEXO_ERROR_FILE_WRITE);
      return;
    }
    std::lock_guard<std::mutex> lock(filesMutex);
    uploads[id] = HostFile{path, name, written, restore};
    Reply(res, 200, {{"upload", id}, {"name", name}, {"size", written}});
  });
  server.Delete(R"(/api/uploads/(\d{1,12}))", [this](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(filesMutex);
    DropFile(uploads, std::strtoull(req.matches[1].str().c_str(), nullptr, 10));
    Reply(res, 200, {{"ok", true}});
  });
  server.Post("/api/add/plan", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    std::vector<uint64_t> ids;
    if (!UploadIds(body, res, &ids)) return;
    RunShort(res, "plan", [this, ids] {
      WebOutcome listing = Listing();
      if (listing.result != 0) return listing;
      uint64_t room = freeBytes;
      uint64_t total = 0;
      Json steps = Json::array();
      std::lock_guard<std::mutex> lock(filesMutex);
      for (uint64_t id : ids) {
        const HostFile& file = uploads.at(id);
        const bool fits = file.size <= room;
        if (fits) {
          room -= file.size;
          total += file.size;
        }
        steps.push_back({{"upload", id}, {"name", file.name}, {"size", file.size},
                         {"action", fits ? "add" : "skip"},
                         {"message", fits ? "" : vexo_ResultMessage(-VEXO_ERROR_CARD_FULL)}});
      }
      return WebOutcome{0, {{"steps", steps}, {"bytes", total}, {"freeAfter", room}}};
    });
  });
  server.Post("/api/add", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    std::vector<uint64_t> ids;
    if (!UploadIds(body, res, &ids)) return;
    RunLong(res, "add", [this, ids] { return AddSongs(ids); });
  });

  server.Post(R"(/api/titles/(\d{1,5})/read)", [this](const httplib::Request& req, httplib::Response& res) {
    const int32_t number = std::atoi(req.matches[1].str().c_str());
    std::string name = "title.mp3";
    uint64_t bytes = 0;
    {
      std::lock_guard<std::mutex> lock(filesMutex);
      if (lastListing.contains("titles") && number >= 1 &&
          static_cast<std::size_t>(number) <= lastListing["titles"].size()) {
        const Json& title = lastListing["titles"][number - 1];
        name = title["title"].get<std::string>() + ".mp3";
        bytes = title["size"].get<uint64_t>();
      }
    }
    RunLong(res, "read", [this, number, name, bytes] {
      return CopyFromCard(name, bytes, [this, number](const char* path) {
        return card_ReadTitle(config.kind, config.port, config.slot, number, path, 0);
      });
    });
  });
  server.Post("/api/backup", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    const bool used = body.value("used", false);
    RunLong(res, "backup", [this, used] {
      if (config.kind == VEXO_PORT_ROS) return WebOutcome{-VEXO_ERROR_NOT_SUPPORTED, Json()};
      return CopyFromCard(used ? "card-used.img" : "card.img", cardSize,
                          [this, used](const char* path) {
                            return card_RawRead(config.kind, config.port, config.slot, 0, path, 0,
                                                used ? 1 : 0);
                          });
    });
  });
  server.Post("/api/restore", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    std::vector<uint64_t> ids;
    if (!UploadIds(body, res, &ids) || ids.size() != 1) return;
    RunLong(res, "restore", [this, id = ids[0]] {
      if (config.kind == VEXO_PORT_ROS) return WebOutcome{-VEXO_ERROR_NOT_SUPPORTED, Json()};
      HostFile file;
      {
        std::lock_guard<std::mutex> lock(filesMutex);
        file = uploads.at(id);
      }
      worker->SetStep({file.name, file.size});
      const VexoResult result =
          card_RawWrite(config.kind, config.port, config.slot, 0, file.path.c_str(), 0);
      {
        std::lock_guard<std::mutex> lock(filesMutex);
        DropFile(uploads, id);
      }
      return Change(result);
    });
  });
  server.Get(R"(/api/downloads/(\d{1,12}))", [this](const httplib::Request& req, httplib::Response& res) {
    HostFile file;
    {
      std::lock_guard<std::mutex> lock(filesMutex);
      const auto found = downloads.find(std::strtoull(req.matches[1].str().c_str(), nullptr, 10));
      if (found == downloads.end()) {
        Refuse(res, 404, "Nothing to download; read it from the card again.");
        return;
      }
      file = found->second;
    }
    const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      ReplyResult(res, -VEXO_ERROR_FILE_NOT_OPEN);
      return;
    }
    res.set_header("Content-Disposition", Disposition(file.name));
    res.set_content_provider(
        file.size, "application/octet-stream",
        [fd](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          std::vector<char> chunk(std::min<std::size_t>(length, 64 * 1024));
          const ssize_t n = pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(offset));
          if (n <= 0) return false;
          return sink.write(chunk.data(), static_cast<std::size_t>(n));
        },
        [fd](bool) { close(fd); });
  });
}

WebSession::WebSession() : state_(std::make_unique<State>()) {}

WebSession::~WebSession() { Stop(); }

VexoResult WebSession::Start(const WebConfig& config, std::string* error) {
  State& s = *state_;
  s.config = config;
  std::string host;
  int port = 0;
  if (!web_ParseListen(config.listen, &host, &port)) {
    *error = "not an address: " + config.listen;
    return -VEXO_ERROR_COM_OPEN;
  }
  uint8_t random[kKeyBytes];
  if (!RandomBytes(random, sizeof random)) {
    *error = "no random source";
    return -VEXO_ERROR_COM_OPEN;
  }
  s.key = Hex(random, sizeof random);

  const VexoResult opened = vexo_Open(config.kind, config.port, config.speed, config.imagePath);
  if (opened != 0) return opened;
  s.portOpen = true;

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/vexo-web-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = std::string("no private folder: ") + std::strerror(errno);
    Stop();
    return -VEXO_ERROR_FILE_CREATE;
  }
  s.folder = pattern;  // mkdtemp makes it 0700

  s.worker = std::make_unique<WebCardWorker>(config.kind);
  // The card as it stands, for the first page and the upload bounds.
  WebOutcome first;
  s.worker->RunNow("list", [&s] { return s.Listing(); }, &first);

  // Loopback: 127.0.0.1 and, where the system has it, ::1 at the same port.
  std::vector<std::string> addresses;
  if (host.empty()) {
    addresses = {"127.0.0.1", "::1"};
  } else {
    addresses = {host == "localhost" ? std::string("127.0.0.1") : host};
  }
  s.exposed = !host.empty() && !web_IsLoopback(host);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    auto server = std::make_unique<httplib::Server>();
    server->set_payload_max_length(kUploadMax);
    server->set_default_headers({
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "same-origin"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
         "form-action 'self'; frame-ancestors 'none'"},
    });
    s.Routes(*server);
    bool bound = false;
    if (i == 0 && port == 0) {
      const int got = server->bind_to_any_port(addresses[i]);
      bound = got > 0;
      if (bound) port = got;
    } else {
      bound = server->bind_to_port(addresses[i], port);
    }
    if (!bound) {
      if (i > 0 && host.empty()) continue;  // no IPv6 loopback here
      *error = "cannot listen on " + HostForUrl(addresses[i]) + ":" + std::to_string(port) + ": " +
               std::strerror(errno);
      Stop();
      return -VEXO_ERROR_COM_OPEN;
    }
    s.servers.push_back(std::move(server));
  }
  s.port = port;
  const std::string portText = ":" + std::to_string(port);
  if (host.empty()) {
    s.hosts = {"127.0.0.1" + portText, "[::1]" + portText, "localhost" + portText};
    s.shownHost = "127.0.0.1";
  } else {
    s.hosts = {HostForUrl(host) + portText};
    if (host == "localhost") s.hosts.push_back("127.0.0.1" + portText);
    s.shownHost = HostForUrl(host);
  }
  s.cookieName = "vexo_key_" + std::to_string(port);
  std::signal(SIGPIPE, SIG_IGN);
  for (auto& server : s.servers) {
    httplib::Server* raw = server.get();
    s.threads.emplace_back([raw] { raw->listen_after_bind(); });
  }
  // Stop() must find every server listening, or a late one would never end.
  for (auto& server : s.servers) {
    for (int wait = 0; wait < 2000 && !server->is_running(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return 0;
}

void WebSession::Stop() {
  State& s = *state_;
  if (s.worker) s.worker->RequestStop();
  for (auto& server : s.servers) server->stop();
  for (auto& thread : s.threads) thread.join();
  s.threads.clear();
  s.servers.clear();
  s.worker.reset();
  if (s.portOpen) {
    vexo_Close(s.config.kind, s.config.port);
    vexo_SettleDelay(s.config.kind);
    s.portOpen = false;
  }
  if (!s.folder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(s.folder, ignored);
    s.folder.clear();
  }
  s.uploads.clear();
  s.downloads.clear();
}

std::string WebSession::Url() const {
  return "http://" + state_->shownHost + ":" + std::to_string(state_->port) + "/?key=" + state_->key;
}
std::string WebSession::Key() const { return state_->key; }
int WebSession::Port() const { return state_->port; }
bool WebSession::Exposed() const { return state_->exposed; }

// The web session's HTTP side: the check every request passes before its
// route (Host, key, origin, sizes) and the routes of the page and its API.

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "base/result_codes.h"
#include "card/charset.h"
#include "card/header.h"
#include "card/playlist.h"
#include "cli/listing_json.h"
#include "cli/web_assets.h"
#include "cli/web_http.h"
#include "cli/web_state.h"
#include "host/copy_map.h"
#include "host/pauses.h"
#include "transport/transport.h"

// Every request passes here before its route and before its body is read.
bool WebSession::State::Admit(const httplib::Request& req, httplib::Response& res) {
  const std::string host = req.get_header_value("Host");
  bool knownHost = false;
  for (const std::string& allowed : hosts) knownHost = knownHost || host == allowed;
  if (!knownHost) {
    web_Refuse(res, 403, "This page answers only at the address vexo printed.");
    return false;
  }
  std::string given = req.get_header_value("X-Vexo-Key");
  if (given.empty()) given = web_CookieValue(req.get_header_value("Cookie"), cookieName);
  const bool entry = req.method == "GET" && req.path == "/" && req.has_param("key");
  if (entry) given = req.get_param_value("key");
  if (!web_SameKey(given, key)) {
    web_Refuse(res, 403, "Open the address vexo printed, with its key.");
    return false;
  }
  if (req.method != "GET" && req.method != "HEAD" && !web_IsChange(req.method)) {
    web_Refuse(res, 405, "Not allowed.");
    return false;
  }
  if (web_IsChange(req.method)) {
    const std::string own = "http://" + host;
    const std::string origin = req.get_header_value("Origin");
    const std::string referer = req.get_header_value("Referer");
    const bool sameOrigin = req.has_header("Origin")
                                ? origin == own
                                : referer.compare(0, own.size() + 1, own + "/") == 0;
    if (!sameOrigin) {
      web_Refuse(res, 403, "Changes are accepted only from vexo's own page.");
      return false;
    }
  }
  if (req.has_header("Transfer-Encoding")) {
    web_Refuse(res, 411, "A request needs its length.");
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
      web_Refuse(res, 411, "A file to upload needs its length.");
      return false;
    }
    if (length > room) {
      web_Reply(res, 413, {{"error", restore ? VEXO_ERROR_CARD_TOO_LARGE : VEXO_ERROR_CARD_FULL},
                       {"message", vexo_ResultMessage(restore ? -VEXO_ERROR_CARD_TOO_LARGE
                                                              : -VEXO_ERROR_CARD_FULL)}});
      res.set_header("Connection", "close");
      return false;
    }
  } else if (length > kWebBodyMax) {
    web_Refuse(res, 413, "The request is too large.");
    return false;
  }
  return true;
}

// Runs a short operation and answers with its outcome.
void WebSession::State::RunShort(httplib::Response& res, const std::string& name,
                                 const std::function<WebOutcome()>& operation) {
  WebOutcome outcome;
  if (!worker->RunNow(name, operation, &outcome)) {
    Busy(res);
    return;
  }
  if (outcome.result != 0) {
    web_ReplyResult(res, outcome.result);
  } else {
    web_Reply(res, 200, outcome.data.is_null() ? Json{{"ok", true}} : outcome.data);
  }
}

// Starts a long operation; the page follows it through /api/progress.
void WebSession::State::RunLong(httplib::Response& res, const std::string& name,
                                const std::function<WebOutcome()>& operation) {
  const uint64_t id = worker->Submit(name, operation);
  if (id == 0) {
    Busy(res);
    return;
  }
  web_Reply(res, 202, {{"id", id}, {"operation", name}});
}

void WebSession::State::Busy(httplib::Response& res) {
  const Json progress = worker->Progress();
  web_Reply(res, 409, {{"error", "busy"},
                   {"operation", progress.value("operation", "")},
                   {"message", "The card is busy; wait until the running operation has ended."}});
}

bool WebSession::State::ParseBody(const httplib::Request& req, httplib::Response& res, Json* body) {
  *body = Json::parse(req.body, nullptr, false);
  if (body->is_discarded() || !body->is_object()) {
    web_Refuse(res, 400, "The request is not a JSON object.");
    return false;
  }
  return true;
}

bool WebSession::State::NumberField(const Json& body, const char* name, int32_t* value) {
  const auto found = body.find(name);
  if (found == body.end() || !found->is_number_integer()) return false;
  const int64_t number = found->get<int64_t>();
  if (number < 1 || number > 0xFFFF) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

// {"folder": "/a/full/path"}: the folder a sync takes its songs from, the
// one name from a request used as a path on this computer.
bool WebSession::State::FolderField(const Json& body, httplib::Response& res, std::string* folder) {
  const auto found = body.find("folder");
  if (found == body.end() || !found->is_string()) {
    web_Refuse(res, 400, "A folder to sync from is needed.");
    return false;
  }
  *folder = found->get<std::string>();
  if (folder->empty() || folder->front() != '/' || folder->size() > kWebPathMax ||
      folder->find('\0') != std::string::npos) {
    web_Refuse(res, 400, "Give the folder's full path, from /.");
    return false;
  }
  return true;
}

// {"uploads": [ids]}: every id one of this session's uploads, each once.
bool WebSession::State::UploadIds(const Json& body, httplib::Response& res, std::vector<uint64_t>* ids) {
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
  if (!ok) web_Refuse(res, 400, "Upload the files first.");
  return ok;
}

void WebSession::State::Routes(httplib::Server& server) {
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return Admit(req, res) ? httplib::Server::HandlerResponse::Unhandled
                           : httplib::Server::HandlerResponse::Handled;
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    web_Refuse(res, 500, "Internal error.");
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
      web_Refuse(res, 404, "Not found.");
      return;
    }
    res.set_content(reinterpret_cast<const char*>(asset->bytes), asset->size, asset->contentType);
  });

  server.Get("/api/card", [this](const httplib::Request&, httplib::Response& res) {
    RunShort(res, "list", [this] { return Listing(); });
  });
  server.Get("/api/progress", [this](const httplib::Request&, httplib::Response& res) {
    web_Reply(res, 200, worker->Progress());
  });
  server.Post("/api/stop", [this](const httplib::Request&, httplib::Response& res) {
    worker->RequestStop();
    web_Reply(res, 200, {{"ok", true}});
  });

  server.Put("/api/card", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    if (!body.contains("name") || !body["name"].is_string()) {
      web_Refuse(res, 400, "A card name is needed.");
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
      web_Refuse(res, 400, "A title is needed.");
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
      web_Refuse(res, 400, "A move needs the places from and to.");
      return;
    }
    RunShort(res, "move", [this, from, to] {
      return Change(card_MoveTitle(config.kind, config.port, config.slot, from, to));
    });
  });

  server.Post("/api/uploads", [this](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) {
    const std::string name = req.get_param_value("name").substr(0, kWebNameMax);
    const bool restore = req.get_param_value("purpose") == "restore";
    const uint64_t length = req.get_header_value<uint64_t>("Content-Length");
    uint64_t id = 0;
    std::string path;
    {
      std::lock_guard<std::mutex> lock(filesMutex);
      path = NewFilePath("upload-", &id) + web_Extension(name);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      web_ReplyResult(res, -VEXO_ERROR_FILE_CREATE);
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
      web_ReplyResult(res, -VEXO_ERROR_FILE_WRITE);
      return;
    }
    std::lock_guard<std::mutex> lock(filesMutex);
    uploads[id] = HostFile{path, name, written, restore, std::nullopt};
    web_Reply(res, 200, {{"upload", id}, {"name", name}, {"size", written}});
  });
  server.Delete(R"(/api/uploads/(\d{1,12}))", [this](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(filesMutex);
    DropFile(uploads, std::strtoull(req.matches[1].str().c_str(), nullptr, 10));
    web_Reply(res, 200, {{"ok", true}});
  });
  server.Post("/api/add/plan", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    std::vector<uint64_t> ids;
    if (!UploadIds(body, res, &ids)) return;
    RunShort(res, "plan", [this, ids] { return AddPlan(ids); });
  });
  server.Post("/api/add", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    if (!ParseBody(req, res, &body)) return;
    std::vector<uint64_t> ids;
    if (!UploadIds(body, res, &ids)) return;
    RunLong(res, "add", [this, ids] { return AddSongs(ids); });
  });

  server.Post("/api/sync/plan", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    std::string folder;
    if (!ParseBody(req, res, &body) || !FolderField(body, res, &folder)) return;
    RunShort(res, "sync plan", [this, folder] { return PlanSync(folder); });
  });
  server.Post("/api/sync", [this](const httplib::Request& req, httplib::Response& res) {
    Json body;
    std::string folder;
    if (!ParseBody(req, res, &body) || !FolderField(body, res, &folder)) return;
    const auto force = body.find("force");
    const bool forced = force != body.end() && force->is_boolean() && force->get<bool>();
    RunLong(res, "sync", [this, folder, forced] { return SyncFolder(folder, forced); });
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
      // The command line's restore: the header area blank first, the file's
      // header area last, so a cut never leaves the card listing a title over
      // half-written data. The upload goes afterwards, so its map goes too.
      VexoResumeNote note = VexoResumeNote::Fresh;
      uint32_t from = 0;
      const VexoResult result =
          card_Restore(config.kind, config.port, config.slot, file.path.c_str(), 0, 0, &note, &from);
      vexo_RemoveWriteMap(file.path.c_str());
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
        web_Refuse(res, 404, "Nothing to download; read it from the card again.");
        return;
      }
      file = found->second;
    }
    const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      web_ReplyResult(res, -VEXO_ERROR_FILE_NOT_OPEN);
      return;
    }
    res.set_header("Content-Disposition", web_Disposition(file.name));
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

// The web session's state, shared by its files: the session's start and
// end (web_server.cpp), the card operations on the worker
// (web_operations.cpp) and the HTTP routes with the check every request
// passes (web_routes.cpp). Private to those three.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "cli/web_server.h"
#include "cli/web_worker.h"
#include "media/song_prepare.h"

using Json = nlohmann::ordered_json;

inline constexpr std::size_t kWebKeyBytes = 16;          // 128 bits
inline constexpr std::size_t kWebBodyMax = 64 * 1024;    // a JSON request
inline constexpr std::size_t kWebNameMax = 255;          // an uploaded file's name
inline constexpr std::size_t kWebPathMax = 4096;         // a sync folder's path
inline constexpr uint64_t kWebUploadMax = 0xFFFFFFFFull;  // no card holds more

struct WebSession::State {
  struct HostFile {
    std::string path;
    std::string name;  // as the page named it; a title or a download name, never a path
    uint64_t size = 0;
    bool restore = false;
    // A song as its plan prepared it, for the add (the bytes vexo stores;
    // a file of the private folder or of the cache).
    std::optional<PreparedSong> prepared;
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

  WebOutcome Listing();
  // A header operation, then the card as it now stands.
  WebOutcome Change(VexoResult result);
  uint64_t ReservedBytes();
  std::string NewFilePath(const char* prefix, uint64_t* id);
  void DropFile(std::map<uint64_t, HostFile>& files, uint64_t id);
  bool StopWanted() const;
  // The uploaded songs not prepared yet, prepared as --import prepares them;
  // what is not in the cache goes into the private folder.
  void PrepareUploads(const std::vector<uint64_t>& ids);
  // The plan of an add: each song with the bytes vexo stores for it.
  WebOutcome AddPlan(const std::vector<uint64_t>& ids);
  // The uploaded songs, each added whole as --import adds it; a song that
  // cannot go on the card is reported and skipped.
  WebOutcome AddSongs(const std::vector<uint64_t>& ids);
  // The plan of a sync of the card with the songs of `folder` (a path the
  // user typed), with its lines of text; nothing is written.
  WebOutcome PlanSync(const std::string& folder);
  // The sync itself, planned afresh on the card as it now stands; a plan
  // that deletes every title only when `force`.
  WebOutcome SyncFolder(const std::string& folder, bool force);
  // A copy from the card into the private folder, offered as a download.
  WebOutcome CopyFromCard(const std::string& name, uint64_t bytes,
                          const std::function<VexoResult(const char*)>& copy);

  // ---- HTTP ----

  // Every request passes here before its route and before its body is read.
  bool Admit(const httplib::Request& req, httplib::Response& res);
  // Runs a short operation and answers with its outcome.
  void RunShort(httplib::Response& res, const std::string& name,
                const std::function<WebOutcome()>& operation);
  // Starts a long operation; the page follows it through /api/progress.
  void RunLong(httplib::Response& res, const std::string& name,
               const std::function<WebOutcome()>& operation);
  void Busy(httplib::Response& res);
  static bool ParseBody(const httplib::Request& req, httplib::Response& res, Json* body);
  static bool NumberField(const Json& body, const char* name, int32_t* value);
  // {"folder": "/a/full/path"}: the folder a sync takes its songs from.
  static bool FolderField(const Json& body, httplib::Response& res, std::string* folder);
  // {"uploads": [ids]}: every id one of this session's uploads, each once.
  bool UploadIds(const Json& body, httplib::Response& res, std::vector<uint64_t>* ids);

  void Routes(httplib::Server& server);
};

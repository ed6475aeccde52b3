#include "cli/web_server.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/result_codes.h"
#include "cli/web_http.h"
#include "cli/web_state.h"
#include "host/pauses.h"
#include "transport/transport.h"

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
  if (!web_RandomKey(kWebKeyBytes, &s.key)) {
    *error = "no random source";
    return -VEXO_ERROR_COM_OPEN;
  }

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
    server->set_payload_max_length(kWebUploadMax);
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
      *error = "cannot listen on " + web_HostForUrl(addresses[i]) + ":" + std::to_string(port) + ": " +
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
    s.hosts = {web_HostForUrl(host) + portText};
    if (host == "localhost") s.hosts.push_back("127.0.0.1" + portText);
    s.shownHost = web_HostForUrl(host);
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

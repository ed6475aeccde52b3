// The web session: `--web` serves a page and a JSON API for the card on one
// open port. It listens on loopback (127.0.0.1 and ::1) unless an address is
// given, and it trusts no request: each needs the session's access key, a
// Host header naming the address it listens on, and, when it changes
// anything, the page's own origin. Requests and uploads are bounded; uploads
// and copies from the card live in a private temporary folder that goes with
// the session. Every card operation runs on one worker thread (web_worker.h).
//
// This module owns the HTTP side and the session's files; the card
// operations are the card layer's, their messages the result table's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/vexo_types.h"

struct WebConfig {
  int32_t kind = 0;
  int32_t port = 0;
  int32_t slot = 1;
  int32_t speed = 115200;
  const char* imagePath = nullptr;  // image file or reader device
  // "ADDRESS:PORT", "[ADDRESS]:PORT", "ADDRESS" or "PORT"; empty for
  // loopback at a free port.
  std::string listen;
};

class WebSession {
 public:
  WebSession();
  ~WebSession();  // Stop() if it still runs
  WebSession(const WebSession&) = delete;
  WebSession& operator=(const WebSession&) = delete;

  // Opens the port (its lock held until Stop), creates the private folder,
  // binds and starts serving on threads of its own. 0, the open's result,
  // or -VEXO_ERROR_COM_OPEN when the address cannot be bound (*error says why).
  VexoResult Start(const WebConfig& config, std::string* error);
  // Ends serving, lets the running operation end after its step, closes the
  // port and removes the private folder.
  void Stop();

  // The address to open, with the key: http://127.0.0.1:PORT/?key=...
  std::string Url() const;
  std::string Key() const;
  int Port() const;
  // True when the address given is not a loopback one.
  bool Exposed() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};


// The page's files (web/), built into the program: served from memory, so
// that the page works offline and nothing is read from the host's disk.
#pragma once

#include <cstddef>
#include <string>

struct WebAsset {
  const char* path;         // "/index.html", "/app.js", ...
  const char* contentType;
  const unsigned char* bytes;
  std::size_t size;
};

// The file served at this path, or nullptr.
const WebAsset* web_FindAsset(const std::string& path);

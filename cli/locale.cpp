#include <langinfo.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card/charset.h"
#include "cli/cli.h"

namespace {

// The locale name that decides the character type: LC_ALL, else LC_CTYPE,
// else LANG (the first one set and not empty).
std::string CtypeLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "";
}

bool NamesUtf8(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name.find("utf-8") != std::string::npos || name.find("utf8") != std::string::npos;
}

}  // namespace

void vexo_TakeLocale() {
  bool utf8 = false;
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  } else if (NamesUtf8(CtypeLocaleName())) {
    // A UTF-8 locale that is not installed: the terminal still speaks UTF-8.
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "C");
    utf8 = true;
  } else {
    std::setlocale(LC_CTYPE, "C");
  }
  title_SetUtf8Terminal(utf8);
}

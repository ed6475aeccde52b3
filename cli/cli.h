// Folder cli/: main(), argument parsing, usage texts, the command handlers
// (commands.h), the signal handlers, the listing as JSON and the web server.
// The only layer that prints. May include: every folder below (card/,
// media/, transport/, the drivers' main headers, host/, base/); nothing but
// sim/'s program includes cli/.
//
// The command line: parses the argument vector, prints usage texts and
// rejections, and runs exactly one command handler. Returns the exit status
// (0 after a rejection or a usage text, 1 after a handler ran).
#pragma once

#include <cstdint>

// Process-wide serial speed, 115200, or 57600 with "--slow"/"-s".
extern int32_t SerialBaudRate;

int vexo_Main(int argc, char** argv);

// Takes the character set of the user's locale for the card's texts (UTF-8
// or bytes as they are); a UTF-8 locale that is not installed counts as
// C.UTF-8. Called once at start, before vexo_Main.
void vexo_TakeLocale();

// The title character set. Titles are stored in the player's display code,
// whose codes for the umlauts and sharp s differ from the host's: converted
// from ISO 8859-1 when a title is added, to code page 437 when the playlist
// is printed. Each conversion works in place on a NUL-terminated text and
// keeps its length; a converted byte is not looked up again.
#pragma once

void title_LatinToDisplay(char* text);
void title_DisplayToCp437(char* text);
void title_DisplayToLatin(char* text);

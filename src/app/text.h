// Small in-place text routines shared by configuration, public files and the client protocol.
#pragma once

int strtoupper(char* text);                     // 0, or 1 if a character stays lower case
int strchrchg(char* text, char from, char to);  // 1 if anything was replaced
int strchrdel(char* text, char c);              // 1 if anything was removed
// New text with every occurrence of `search` replaced; the caller frees it (free). Null on no
// memory.
char* strstrrep(const char* src, const char* search, const char* repl);
int strmcmp(const char* text, const char* pattern);  // wildcard '*': 0 match, 1 no match
int Dos2Unix(char* text);                            // CR LF and lone CR become LF; 0
int FixDouble(double* value);  // fixes the word order of a double where needed; 0
int FixIPaddr(char* ip);       // "010.000.000.001" -> "10.0.0.1"; 1 for null/empty

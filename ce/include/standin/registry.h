// The stand-in's own controls over the simulated device's registry, for tests, the
// simulator and tools: loading and saving the platform's .reg text files, a readable dump
// of any subtree, and a reset to an empty registry.
//
// Files read: the desktop form (first line "REGEDIT4" or "Windows Registry Editor Version
// 5.00") and the Platform Builder form without a header (platform.reg), in UTF-8 (a BOM is
// allowed) or UTF-16LE with its BOM. Lines:
//   [HKEY_LOCAL_MACHINE\Path]   opens (creates) a key; HKLM, HKCU, HKCR, HKU also work
//   [-HKEY_LOCAL_MACHINE\Path]  deletes a key and everything below it
//   "Name"="text"   @="text"    REG_SZ (escapes \\ \" and, for names, \n \r)
//   "Name"=dword:0000000a       REG_DWORD, 1 to 8 hex digits
//   "Name"=hex:01,02            REG_BINARY
//   "Name"=hex(7):61,00,00,00   any type by number (hex), bytes as given
//   "Name"=multi_sz:"a","b"     REG_MULTI_SZ
//   "Name"=-                    deletes the value
//   ; comments, blank lines, a trailing \ continues a line,
//   IF VAR / IF VAR ! / ELSE / ENDIF blocks (nested) over a set of defined variables.
// Loading is all-or-nothing: a file with any error changes nothing, and the message names
// the line ("line 12: unterminated string").
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace standin {

// Loads .reg text into the registry. `defined` names the variables for IF blocks
// (compared case-insensitively). On failure returns false, leaves the registry as it
// was and, when `error` is given, stores "line N: what is wrong".
bool LoadRegText(std::string_view text, std::string *error = nullptr,
                 const std::vector<std::string> &defined = {});
// The same for a file; the message starts with the path.
bool LoadRegFile(const std::string &path, std::string *error = nullptr,
                 const std::vector<std::string> &defined = {});

// Writes the whole registry in the desktop form (UTF-8), sealed: the header line, a
// comment line that announces the seal, the keys, and a last comment line with the size
// and CRC-32 of every byte before it (see LoadSavedRegFile). The text goes to a new file
// in the same folder, is flushed to disk and then renamed over `path`, so a crash leaves
// either the old file or the new one, never half of one.
bool SaveRegFile(const std::string &path, std::string *error = nullptr);
// The text SaveRegFile writes.
std::string SavedRegistryText();

// Loading a file that SaveRegFile wrote, refusing one that is not whole. Refused, with
// nothing changed and `error` saying why ("the file is empty", "it was cut short: ...",
// "its text does not match its end line ...", "line N: ..."): an empty or blank file; a
// sealed file whose end line is missing or does not match the text before it; any file
// that does not parse; and a file without the seal that holds no key. A file without the
// seal (from before files were sealed, or written by hand) loads as LoadRegText would
// and is reported as kUnsealed: whether it is whole cannot be told.
enum class SavedForm { kSealed, kUnsealed };
bool LoadSavedRegText(std::string_view text, std::string *error = nullptr, SavedForm *form = nullptr);
// The same for a file; the message starts with the path.
bool LoadSavedRegFile(const std::string &path, std::string *error = nullptr, SavedForm *form = nullptr);

// The .reg text (desktop form, with its header line) of one key and everything below it;
// keys and values in insertion order, so the same history gives the same text. An empty
// string when the key does not exist.
std::string DumpRegistry(HKEY root = HKEY_LOCAL_MACHINE, std::u16string_view subkey = u"");
// All four roots in one text, as SaveRegFile writes them.
std::string DumpWholeRegistry();

// Empties every root. Handles still open on removed keys go stale (ERROR_BADKEY).
void ClearRegistry();

// Key handles opened and not yet closed, to catch leaks.
size_t OpenRegistryKeyCount();

}  // namespace standin

// The registry as REGEDIT4 ".reg" text, the form the platform's registry editor exports and imports.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\zarn\Device0]
//   "Name"="text with \"quotes\" and \\ backslashes"
//   @="the default (unnamed) value"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02,ff,\      <- a trailing backslash continues a hex list on the next line
//     03,04
//   "List"=hex(7):61,00,00,00,00,00
//   "Gone"=-
//
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]
//
// The text is read as bytes of Latin-1 (the export's code page), or as UTF-8 when it starts with a
// UTF-8 byte order mark, and written back the same way. Key and value names hold Latin-1 characters
// only, as the registry keeps them; a text value holds any character in a UTF-8 file (the registry
// holds UTF-16), and text beyond Latin-1 is written as hex(1) bytes in a Latin-1 file. Lines end
// in "\r\n" or "\n". Blank lines and lines starting with ';' are comments. "[-key]" deletes the key and every key
// below it; "Name"=- deletes a value. Key names start with one of the roots HKEY_LOCAL_MACHINE,
// HKEY_USERS, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG or HKEY_DYN_DATA (or a form the
// registry turns into one, such as "\Registry\Machine\").
#pragma once

#include <string>
#include <vector>

#include "kernel/registry.h"
#include "support/file_save.h"

namespace sim {

// How a .reg file's text is encoded: Latin-1 bytes, or UTF-8 after a byte order mark. A file is
// written back in the encoding it was read in.
enum class RegFileEncoding { Latin1, Utf8 };

// Adds the keys and values of REGEDIT4 text to the registry, in the order of the text, and tells its
// encoding (when asked). Text of zero bytes (or only a byte order mark) adds nothing. On the first
// malformed line returns false, sets *error (when given) to one line starting with the line number
// ("line 7: ...") and leaves the registry exactly as it was.
bool LoadRegFile(const std::string& text, Registry& registry, std::string* error,
                 RegFileEncoding* encoding = nullptr);

// Every key, in registry order, with its values in order, as REGEDIT4 text with "\r\n" line ends
// (UTF-8 text starts with a byte order mark), which LoadRegFile reads back to the same keys, names,
// types and bytes. Keys without values are written too. What REGEDIT4 text cannot hold (see
// CanSaveRegFile) is left out, and each key or value left out is named in *leftOut (when given);
// everything else is written.
std::string SaveRegFile(const Registry& registry, RegFileEncoding encoding = RegFileEncoding::Latin1,
                        std::vector<std::string>* leftOut = nullptr);

// Whether REGEDIT4 text can hold the whole registry: every key name is one that LoadRegFile accepts
// and no value name holds a line break (a value line cannot continue a quoted name on the next
// line). Otherwise returns false and names the first key or value that cannot be written in *error
// (when given).
bool CanSaveRegFile(const Registry& registry, std::string* error);

// LoadRegFile on the contents of a file. A missing or unreadable file is an error, and so is one of
// more than 64 MiB; a file of zero bytes loads as nothing. Errors start with the path
// ("regs.reg: line 7: ...").
bool LoadRegFileFromPath(const std::string& path, Registry& registry, std::string* error,
                         RegFileEncoding* encoding = nullptr);

// Writes SaveRegFile's text to a file with SaveFile (file_save.h) and RegFileSavePolicy: a regular
// file is replaced atomically (through a symbolic link, at the file it names), a character device
// such as /dev/null is written through, and a FIFO, directory, block device or socket is refused. On
// a failure returns false with a message naming the path and leaves what the path names as it was.
// A key or value that REGEDIT4 cannot hold does not stop the save: it is left out of the file and
// named, with the path, in *leftOut (when given).
bool SaveRegFileToPath(const std::string& path, const Registry& registry, std::string* error,
                       RegFileEncoding encoding = RegFileEncoding::Latin1, std::vector<std::string>* leftOut = nullptr);

// How a registry file is saved: it was read first, so a FIFO (which cannot give back what was read
// from it) is refused.
SavePolicy RegFileSavePolicy();

}  // namespace sim

#pragma once
// Names read from a datastore are bytes: any of them may be a control
// character, a backslash or not UTF-8 at all, and a planted name could move
// a terminal's cursor or forge a line of a listing. Every printed name goes
// through one reversible escape, the same loop that makes host names:
//
//   printed names   "\xHH" for a control character (C0, DEL and C1), a
//                   direction override or isolate (U+202A-U+202E,
//                   U+2066-U+2069), a backslash, a "/" inside a name and
//                   every byte that is not part of valid UTF-8; everything
//                   else as it is. The empty name prints as "".
//   host names      "%HH" for "%", "/", control characters (C0 and DEL)
//                   and bytes that are not UTF-8 (see export/host_names.h).
//
// In both, the escape mark itself is escaped, so decoding gives the bytes
// back exactly.

#include "vmfs/utf8.h"

#include <cstddef>
#include <string>

namespace ds {

// Escapes every byte (and every code point) for which must(code point or
// byte, its UTF-8 length: 0 for an invalid byte) is true as mark followed by
// two upper-case hex digits per byte.
std::string escape_name(const std::string& raw, const char* mark, bool (*must)(unsigned c, size_t n));
// The bytes an escaped text stands for; false when a mark is not followed by
// two hex digits.
bool unescape_name(const std::string& text, const char* mark, std::string& raw);

// A datastore name as every listing prints it.
std::string printable_name(const std::string& raw);
// The name a printed form stands for (what a pasted name means).
bool printable_name_decode(const std::string& printed, std::string& raw);
// Whether raw holds a byte or character printed names escape so that it
// cannot drive or disguise a terminal: C0, DEL, C1, direction controls and
// bytes that are not UTF-8 (backslashes and "/" are not counted).
bool has_terminal_controls(const std::string& raw);
// A host path or a path the operator typed, printed: as printable_name,
// but "/" stays the separator it is.
std::string printable_path(const std::string& raw);
// Text that is valid UTF-8 as it is, anything else as printable_path: for a
// JSON string that must stay valid.
std::string utf8_or_printable(const std::string& text);

// Lower-case hex of every byte, for a JSON "..._bytes" member.
std::string hex_bytes(const std::string& raw);

} // namespace ds

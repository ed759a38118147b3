#pragma once

// Parsing of the extension-parameter text: "Key: Value" lines that every
// reply carries after its fixed lines.

#include <map>
#include <string>

namespace norla_server {

using ExtParamMap = std::map<std::string, std::string>;

// Parses `text` into `out` and returns true, or returns false and leaves `out`
// untouched. Null or empty text gives an empty map. Lines end at CR or LF;
// a line without a colon, or ending in its first colon, is ignored; the one
// character after the colon is skipped; an empty key or value rejects the
// whole text; a later duplicate key wins.
bool ParseExtParams(char const* text, ExtParamMap& out);

}  // namespace norla_server

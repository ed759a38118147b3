#pragma once

// Socket-free splitting of request text (and of extension-parameter text,
// which shares the line and field rules). Text is plain bytes; NULs are
// ordinary characters here.

#include <map>
#include <string>
#include <vector>

namespace norla_server {

// Splits at every CR and every LF; empty pieces are dropped, so "\r\n", "\n"
// and "\r" all end a line and blank lines vanish.
std::vector<std::string> SplitLines(std::string const& text);

// Splits at space characters; runs of spaces count as one separator.
std::vector<std::string> SplitWords(std::string const& line);

// Cuts a field line at its first colon. The one character right after the
// colon is skipped whatever it is; the value is the rest of the line. False
// when the line has no colon or ends in it; key and value may be empty.
bool SplitField(std::string const& line, std::string& key, std::string& value);

// The field table of a request: every line that splits into a non-empty key
// and a non-empty value; a later line with the same key wins.
std::map<std::string, std::string> ExtractFields(std::vector<std::string> const& lines);

}  // namespace norla_server

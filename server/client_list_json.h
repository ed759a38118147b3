#pragma once

// The JSON of clients, written straight into one string. A full
// listing of many thousand clients built as a document tree cost the admin
// thread several times the CPU of the text itself, taken from the clients'
// core. The bytes are those the general serializer writes: compact, strings
// escaped as it escapes them, invalid UTF-8 replaced by U+FFFD.

#include <string>
#include <string_view>
#include <vector>

#include "server/admin_source.h"

namespace tally_admin {

// One client's object and a newline.
std::string ClientJson(AdminClient const& client);

// {"clients":[...],"next":"ID"} and a newline; no "next" when `next` is null.
std::string ClientListJson(std::vector<AdminClient> const& clients, std::string const* next);

// `text` as a JSON string, quotes included, appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace tally_admin

#include "server/status_page.h"

namespace tally_admin {

namespace {

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

PageFile const* FindPageFile(std::string_view path, std::string_view& contentType) {
  if (path == "/") path = "/index.html";
  for (std::size_t i = 0; i < kPageFileCount; ++i) {
    if (kPageFiles[i].path != path) continue;
    contentType = EndsWith(path, ".js")    ? "text/javascript; charset=utf-8"
                  : EndsWith(path, ".css") ? "text/css; charset=utf-8"
                                           : "text/html; charset=utf-8";
    return &kPageFiles[i];
  }
  return nullptr;
}

}  // namespace tally_admin

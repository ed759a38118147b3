#pragma once

// The status page's own files (server/status_page/), built into the binary so
// that the page needs no other server, CDN or file on disk.

#include <cstddef>
#include <string_view>

namespace tally_admin {

struct PageFile {
  std::string_view path;  // "/index.html"
  std::string_view body;
};

// Every file, defined by the source generated from server/status_page/.
extern PageFile const kPageFiles[];
extern std::size_t const kPageFileCount;

// The file served at `path` ("/" is the index), or null. `contentType` is set
// from its extension.
PageFile const* FindPageFile(std::string_view path, std::string_view& contentType);

}  // namespace tally_admin

// The site's own files (templates, stylesheet, script, icon), built into the
// module from src/wrapper/Console/site by cmake/embed_site.cmake.
#pragma once

#include <string_view>
#include <vector>

namespace wr::web {

// The bytes of the file named `name` (a plain file name, e.g. "site.css");
// false when the site has no such file.
bool site_file(std::string_view name, std::string_view& bytes);

std::vector<std::string_view> site_file_names();

}  // namespace wr::web

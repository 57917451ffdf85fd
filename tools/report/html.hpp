// The report as one self-contained HTML page: inline CSS and SVG, no script,
// no external resource (a Content-Security-Policy forbids any), printable with
// every tuple's neighbours expanded.
#pragma once

#include <string>
#include <string_view>

#include "model.hpp"

namespace kelreport {

// Text for HTML content and attribute values alike: the five markup
// characters become references, and control bytes other than tab (which
// would make the page invalid and are invisible anyway) are shown as \xHH.
std::string escape(std::string_view text);

std::string build_html(const report& r);

}  // namespace kelreport

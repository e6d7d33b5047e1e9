// How the commands print: aligned tables, figures, and JSON.
#pragma once

#include <boost/json.hpp>

#include <string>
#include <vector>

namespace tokentally::cli {

// Prints a table with a header row, columns padded to their widest cell;
// columns named in `right_aligned` (by index) are right-aligned.
void print_table(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& rows,
                 const std::vector<std::size_t>& right_aligned = {});

// Prints a JSON value with the project's writer, followed by a newline.
void print_json(const boost::json::value& value);

}  // namespace tokentally::cli

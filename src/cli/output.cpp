#include "cli/output.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"

#include <algorithm>
#include <iostream>

namespace tokentally::cli {

namespace {

// Display width in terminal columns, counting each UTF-8 code point once.
std::size_t _width(const std::string& s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

void print_table(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& raw_rows,
                 const std::vector<std::size_t>& right_aligned) {
    // Cells hold what callers chose (models, tags, sessions): a control
    // character among them must not reach the terminal as itself.
    std::vector<std::vector<std::string>> rows = raw_rows;
    for (auto& row : rows)
        for (auto& cell : row) cell = logging::printable(cell);
    std::vector<std::size_t> widths(headers.size());
    for (std::size_t i = 0; i < headers.size(); ++i) widths[i] = _width(headers[i]);
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], _width(row[i]));
    auto print_row = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            std::string pad(widths[i] - _width(row[i]), ' ');
            bool right = std::find(right_aligned.begin(), right_aligned.end(), i) != right_aligned.end();
            if (i > 0) line += "  ";
            line += right ? pad + row[i] : row[i] + (i + 1 < row.size() ? pad : "");
        }
        std::cout << line << '\n';
    };
    print_row(headers);
    std::vector<std::string> rule;
    for (auto w : widths) {
        std::string dashes;
        for (std::size_t k = 0; k < w; ++k) dashes += "-";
        rule.push_back(dashes);
    }
    print_row(rule);
    for (const auto& row : rows) print_row(row);
}

void print_json(const boost::json::value& value) { std::cout << json::write(value) << '\n'; }

}  // namespace tokentally::cli

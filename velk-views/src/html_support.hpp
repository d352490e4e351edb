// Private HTML and SVG helpers of velk-views' report pages: escaping, numbers written the same
// way every time, colours, the page shell with its style sheet, and the line chart the sweep
// page draws. Pages are self-contained: inline SVG, CSS and script, nothing fetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velk_views {

// Text safe inside an element or a double-quoted attribute.
std::string escape_html(std::string_view text);

// A JSON string literal of `text` that is also safe inside a <script> element: besides what
// JSON escapes, "<", ">" and "&" are written as \u escapes, so no text can close the element
// or open a comment. Bytes of 0x80 and above pass unchanged (the page is UTF-8).
std::string script_json_string(std::string_view text);

// A coordinate with one decimal ("12.5", "-3.0"): the same value always gives the same text.
std::string coordinate(double value);

// "1 KiB", "1.5 KiB", "512 B", "2.25 MiB": bytes in the largest unit that leaves a value of
// at least 1, with up to two decimals.
std::string byte_size(std::uint64_t bytes);

// A fill colour for the n-th thing of a kind (tensors, chart lines): twelve colours that
// stay apart from their neighbours, repeating after the twelfth.
inline constexpr std::size_t SERIES_COLOURS = 12;
std::string_view series_colour(std::size_t index);

// A whole page: doctype, head with the title and the style sheet (followed by `extra_style`,
// the page's own rules), and the body.
std::string html_page(std::string_view title, const std::string& body, std::string_view extra_style = {});

// Round tick steps (1, 2 or 5 times a power of ten) that cut 0 .. maximum into at most
// about `count` steps; at least 1.
std::uint64_t tick_step(std::uint64_t maximum, std::uint64_t count);

struct ChartSeries {
  std::string name;
  std::vector<double> values;  // one per x position; a series need not cover them all
  std::vector<bool> present;   // false where the series has no value (a failed configuration)
};

// Power-of-two steps for byte counts and addresses: the smallest 2^n that cuts 0 .. maximum
// into at most `count` steps; at least 1.
std::uint64_t byte_tick_step(std::uint64_t maximum, std::uint64_t count);

enum class AxisKind : std::uint8_t { Count, Bytes };

// An SVG line chart: x positions named by `x_labels`, evenly spaced, one line with point
// markers per series (each point with a <title> giving its value), a y axis from 0 with
// round ticks (powers of two labelled with byte_size for a Bytes axis), and a legend.
std::string line_chart(std::string_view title, std::string_view y_unit, AxisKind axis,
                       const std::vector<std::string>& x_labels, const std::vector<ChartSeries>& series);

}  // namespace velk_views

// Private: the compile report's own style rules and its script (report_html.hpp). The script
// reads the data block (report_data.hpp) and draws, as inline SVG, the memory map of the chosen
// tile and a bounded window of rows of every launch chart. The tile is chosen by the fragment
// #memory-tile-N (a bar of the peak chart, a tile link), or with the tile field and its buttons.
#pragma once

#include <string_view>

namespace velk_views {

// Rules added to the shared style sheet.
std::string_view report_style();

// The script's text, to stand in a <script> element after the page's sections.
std::string_view report_script();

}  // namespace velk_views

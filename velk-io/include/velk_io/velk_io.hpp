// Everything velk-io offers: JSON conversion of graphs and schedules, the instruction word
// decoder, compile summaries and memory failure reports, output files, command-line values,
// the schedule on one clock, its trace, the compile report page and the sweep.
#pragma once

#include "velk_io/compile_output.hpp"
#include "velk_io/compile_report.hpp"
#include "velk_io/disassembler.hpp"
#include "velk_io/error.hpp"
#include "velk_io/files.hpp"
#include "velk_io/graph_json.hpp"
#include "velk_io/option_values.hpp"
#include "velk_io/report_html.hpp"
#include "velk_io/schedule_json.hpp"
#include "velk_io/sweep.hpp"
#include "velk_io/timeline.hpp"
#include "velk_io/trace.hpp"

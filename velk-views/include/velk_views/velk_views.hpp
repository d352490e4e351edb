// Everything velk-views offers: ways of seeing a built program. The instruction word
// decoder, the compile summary and memory failures as text, the schedule on one clock, its
// trace, the compile report page and the sweep.
#pragma once

#include "velk_views/disassembler.hpp"
#include "velk_views/error.hpp"
#include "velk_views/progress_line.hpp"
#include "velk_views/report_html.hpp"
#include "velk_views/summary_text.hpp"
#include "velk_views/sweep.hpp"
#include "velk_views/timeline.hpp"
#include "velk_views/trace.hpp"

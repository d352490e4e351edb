// Everything velk-io offers: the graph and schedule files, .npy arrays, the files of a built program,
// reading and writing files, command-line values and the text helpers of every readable output.
#pragma once

#include "velk_io/error.hpp"
#include "velk_io/files.hpp"
#include "velk_io/graph_json.hpp"
#include "velk_io/npy.hpp"
#include "velk_io/option_values.hpp"
#include "velk_io/output_files.hpp"
#include "velk_io/schedule_json.hpp"
#include "velk_io/text_format.hpp"

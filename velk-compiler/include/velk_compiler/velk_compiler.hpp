// Everything the compiler library offers.
#pragma once

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/epoch_assembly.hpp"
#include "velk_compiler/error.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/memory_diagnostics.hpp"
#include "velk_compiler/memory_planner.hpp"
#include "velk_compiler/reference.hpp"
#include "velk_compiler/region_finder.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_compiler/tile_commands.hpp"
#include "velk_compiler/tile_program.hpp"
#include "velk_compiler/verifier.hpp"

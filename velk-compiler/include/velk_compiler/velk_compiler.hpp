// Everything the compiler library offers.
#pragma once

#include "velk_compiler/encoder.hpp"
#include "velk_compiler/error.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/reference.hpp"
#include "velk_compiler/region_finder.hpp"
#include "velk_compiler/schedule.hpp"

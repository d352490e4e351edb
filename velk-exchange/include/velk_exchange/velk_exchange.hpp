// Everything the exchange fabric library offers.
#pragma once

#include "velk_exchange/error.hpp"
#include "velk_exchange/instruction.hpp"
#include "velk_exchange/multicast.hpp"
#include "velk_exchange/plan_program.hpp"
#include "velk_exchange/topology.hpp"

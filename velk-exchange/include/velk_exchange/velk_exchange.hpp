// Everything the exchange fabric library offers.
#pragma once

#include "velk_exchange/error.hpp"

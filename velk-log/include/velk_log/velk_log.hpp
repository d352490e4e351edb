// Everything velk-log offers.
#pragma once

#include "velk_log/log.hpp"
#include "velk_log/stderr_subscriber.hpp"

// The views refuse with velk-io's placed error: a view that cannot read what it is given
// names the place (a phase, a launch, a tile, a word) and what is wrong there.
#pragma once

#include "velk_io/error.hpp"

namespace velk_views {

using velk_io::IoError;
template <class T>
using Result = velk_io::Result<T>;

}  // namespace velk_views

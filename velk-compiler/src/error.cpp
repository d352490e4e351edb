// Rendering of compiler errors.
#include "velk_compiler/error.hpp"

namespace velk_compiler {

std::string to_string(const CompileError& error) {
  switch (error.kind()) {
    case CompileError::Kind::Graph: return "graph: " + error.message();
    case CompileError::Kind::Memory: return "memory: " + error.message();
    case CompileError::Kind::Exchange: return "exchange: " + velk_exchange::to_string(*error.exchange_error());
  }
  return error.message();
}

std::ostream& operator<<(std::ostream& out, const CompileError& error) { return out << to_string(error); }

}  // namespace velk_compiler

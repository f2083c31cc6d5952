// Installs the SQL layer's filter compiler when a program starts. This file is compiled
// into every program that links the engine rather than into the engine's archive, where
// the linker would leave it out for want of a reference.

#include "engine/sql/expr/expression_filter_compiler.h"

namespace {

[[maybe_unused]] const bool kInstalled = [] {
    tapir::engine::TSQLMemExpressionFilterCompiler::Install();
    return true;
}();

}  // namespace

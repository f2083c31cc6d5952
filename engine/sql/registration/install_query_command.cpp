// Installs the query layer's SELECT command with the statement processor when a program
// starts. Compiled into every program that links the engine (see install_filter_compiler).

#include "engine/sql/query/sqlmem_sql_select.h"

namespace {

[[maybe_unused]] const bool kInstalled = [] {
    tapir::engine::InstallQueryCommand();
    return true;
}();

}  // namespace

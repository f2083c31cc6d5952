#include "engine/table/filter_compiler.h"

#include <atomic>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

std::atomic<const TSQLMemFilterCompiler*>& Installed() {
    static std::atomic<const TSQLMemFilterCompiler*> compiler{nullptr};
    return compiler;
}

}  // namespace

void SetFilterCompiler(const TSQLMemFilterCompiler* compiler) { Installed().store(compiler); }

const TSQLMemFilterCompiler* GetFilterCompiler() { return Installed().load(); }

const TSQLMemFilterCompiler& RequireFilterCompiler() {
    const TSQLMemFilterCompiler* compiler = GetFilterCompiler();
    if (compiler == nullptr) {
        throw ESQLMemException(kNoFilterCompilerCode,
                               "Filter expressions are not available: the SQL expression "
                               "layer is not linked");
    }
    return *compiler;
}

}  // namespace tapir::engine

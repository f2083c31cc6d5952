#include "engine/sql/lexer/sqlmem_sql_params.h"

#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

[[noreturn]] void ThrowDamaged(const std::string& what) {
    throw ESQLMemException::Formatted(kParamsStreamCode,
                                      "Invalid parameter list in stream: " + what);
}

void SaveBytes(ByteSink& sink, std::string_view bytes) {
    if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        throw ESQLMemException::Formatted(
            kParamsStreamCode, "Invalid parameter list in stream: value too long to be saved");
    }
    SaveInt32(sink, static_cast<int32_t>(bytes.size()), kParamsStreamCode);
    SaveDataToStream(sink, std::as_bytes(std::span(bytes.data(), bytes.size())), kParamsStreamCode);
}

// A length-prefixed byte string. The length is checked against what the source still
// holds before anything is allocated, so a damaged length cannot ask for gigabytes.
std::string LoadBytes(ByteSource& source, const char* what) {
    const int32_t length = LoadInt32(source, kParamsStreamCode);
    if (length < 0) {
        ThrowDamaged(std::string("negative length of ") + what);
    }
    if (length > source.Size() - source.Position()) {
        ThrowDamaged(std::string(what) + " cut short");
    }
    std::string bytes(static_cast<size_t>(length), '\0');
    LoadDataFromStream(source, std::as_writable_bytes(std::span(bytes.data(), bytes.size())),
                       kParamsStreamCode);
    return bytes;
}

}  // namespace

void TSQLMemSQLParam::SaveToStream(ByteSink& sink) const {
    SaveBytes(sink, name_);
    std::string value;
    SaveTo(value);
    SaveBytes(sink, value);
}

TSQLMemSQLParam TSQLMemSQLParam::LoadFromStream(ByteSource& source) {
    std::string name = LoadBytes(source, "parameter name");
    const std::string bytes = LoadBytes(source, "parameter value");
    size_t position = 0;
    TSQLMemVariant value;
    try {
        value = TSQLMemVariant::LoadFrom(bytes, position);
    } catch (const ESQLMemException& error) {
        ThrowDamaged("value of parameter '" + name + "': " + error.BareMessage());
    }
    if (position != bytes.size()) {
        ThrowDamaged("value of parameter '" + name + "' has trailing bytes");
    }
    return TSQLMemSQLParam(std::move(name), value);
}

TSQLMemSQLParam& TSQLMemSQLParams::Add(std::string name, const TSQLMemVariant& value) {
    return params_.emplace_back(std::move(name), value);
}

TSQLMemSQLParam& TSQLMemSQLParams::SetParam(const std::string& name, const TSQLMemVariant& value) {
    if (TSQLMemSQLParam* param = GetParamByName(name)) {
        param->SetValue(value);
        return *param;
    }
    return Add(name, value);
}

const TSQLMemSQLParam* TSQLMemSQLParams::GetParamByName(const std::string& name) const {
    for (const TSQLMemSQLParam& param : params_) {
        if (SameName(param.Name(), name)) {
            return &param;
        }
    }
    return nullptr;
}

TSQLMemSQLParam* TSQLMemSQLParams::GetParamByName(const std::string& name) {
    return const_cast<TSQLMemSQLParam*>(std::as_const(*this).GetParamByName(name));
}

void TSQLMemSQLParams::SaveToStream(ByteSink& sink) const {
    SaveInt32(sink, Count(), kParamsStreamCode);
    for (const TSQLMemSQLParam& param : params_) {
        param.SaveToStream(sink);
    }
}

void TSQLMemSQLParams::LoadFromStream(ByteSource& source) {
    const int32_t count = LoadInt32(source, kParamsStreamCode);
    if (count < 0) {
        ThrowDamaged("negative parameter count");
    }
    std::vector<TSQLMemSQLParam> loaded;
    for (int32_t i = 0; i < count; ++i) {
        loaded.push_back(TSQLMemSQLParam::LoadFromStream(source));
    }
    params_ = std::move(loaded);
}

}  // namespace tapir::engine

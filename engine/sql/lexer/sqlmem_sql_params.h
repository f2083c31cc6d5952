#pragma once
// The parameters of a query: named typed values that the lexer copies into the tokens
// written `:name`. The list saves and loads itself so that a query component can keep its
// parameters with the rest of its state. Not thread-safe; a list belongs to its query.
//
// Stream form of a list, little-endian:
//   OFFSET  SIZE  DESCRIPTION
//   0       4     number of parameters (int32, not negative)
//   4       ..    each parameter in turn:
//                   4   name length in bytes (int32)
//                   ..  the name (UTF-8)
//                   4   value length in bytes (int32)
//                   ..  the value in the byte form of TSQLMemVariant

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/pages/byte_stream.h"
#include "engine/record/sqlmem_variant.h"

namespace tapir::engine {

// A stream that does not hold a whole parameter list: cut short, a negative count or
// length, or a value whose bytes do not read as one value.
constexpr int kParamsStreamCode = 30359;  // "Invalid parameter list in stream: %s"

class TSQLMemSQLParam : public TSQLMemVariant {
  public:
    TSQLMemSQLParam() = default;
    TSQLMemSQLParam(std::string name, const TSQLMemVariant& value)
        : TSQLMemVariant(value), name_(std::move(name)) {}

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    // The value alone, without the name.
    const TSQLMemVariant& Value() const { return *this; }
    void SetValue(const TSQLMemVariant& value) { TSQLMemVariant::operator=(value); }

    // Writes the name and the value; throws ESQLMemException kParamsStreamCode when the
    // sink takes fewer bytes.
    void SaveToStream(ByteSink& sink) const;
    // Reads what SaveToStream wrote; throws ESQLMemException kParamsStreamCode when the
    // bytes are cut short or do not read as a parameter.
    static TSQLMemSQLParam LoadFromStream(ByteSource& source);

    friend bool operator==(const TSQLMemSQLParam&, const TSQLMemSQLParam&) = default;

  private:
    std::string name_;
};

class TSQLMemSQLParams {
  public:
    int32_t Count() const { return static_cast<int32_t>(params_.size()); }
    // Requires: 0 <= index < Count(). The reference is valid until the list changes.
    const TSQLMemSQLParam& Items(int32_t index) const { return params_.at(Index(index)); }
    TSQLMemSQLParam& Items(int32_t index) { return params_.at(Index(index)); }

    // Appends a parameter; a name already in the list is not checked (the first one
    // found by name wins).
    TSQLMemSQLParam& Add(std::string name, const TSQLMemVariant& value);
    // Sets the value of the parameter `name`, appending it when there is none.
    TSQLMemSQLParam& SetParam(const std::string& name, const TSQLMemVariant& value);
    void Clear() { params_.clear(); }

    // The first parameter of that name, compared without regard to the case of ASCII
    // letters; null when there is none. Valid until the list changes.
    const TSQLMemSQLParam* GetParamByName(const std::string& name) const;
    TSQLMemSQLParam* GetParamByName(const std::string& name);

    // Writes the count and each parameter; throws as TSQLMemSQLParam::SaveToStream.
    void SaveToStream(ByteSink& sink) const;
    // Replaces the list by the one read from `source`; on an error (ESQLMemException
    // kParamsStreamCode) the list is as it was.
    void LoadFromStream(ByteSource& source);

    friend bool operator==(const TSQLMemSQLParams&, const TSQLMemSQLParams&) = default;

  private:
    static size_t Index(int32_t index) { return static_cast<size_t>(index); }

    std::vector<TSQLMemSQLParam> params_;
};

}  // namespace tapir::engine

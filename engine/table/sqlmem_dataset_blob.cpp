// BLOB fields of TSQLMemDataSet: their content in the active row, the pending content of
// a row being inserted or edited, and the streams over it.

#include <unicode/ustring.h>

#include <cstring>
#include <string>

#include "engine/record/field_types.h"
#include "engine/table/field_value_conversion.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_dataset.h"

namespace tapir::engine {

namespace {

// UTF-16 code units, little-endian, from UTF-8 text (ill-formed parts become U+FFFD).
std::vector<std::byte> Utf8ToUtf16Bytes(const std::string& text) {
    std::u16string wide(text.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(wide.data()), static_cast<int32_t>(wide.size()),
                         &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr,
                         &status);
    wide.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    std::vector<std::byte> bytes(wide.size() * 2);
    for (size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = static_cast<std::byte>(wide[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::byte>(wide[i] >> 8);
    }
    return bytes;
}

// UTF-8 text from UTF-16 code units, little-endian (an odd last byte is dropped).
std::string Utf16BytesToUtf8(const std::vector<std::byte>& bytes) {
    std::u16string wide(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < wide.size(); ++i) {
        wide[i] = static_cast<char16_t>(std::to_integer<unsigned>(bytes[2 * i]) |
                                        (std::to_integer<unsigned>(bytes[2 * i + 1]) << 8));
    }
    std::string text(wide.size() * 3 + 1, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(text.data(), static_cast<int32_t>(text.size()), &length,
                       reinterpret_cast<const UChar*>(wide.data()),
                       static_cast<int32_t>(wide.size()), 0xFFFD, nullptr, &status);
    text.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return text;
}

}  // namespace

bool TSQLMemDataSet::IsBlobColumn(int column) const {
    return cursor_ && column >= 0 && column < cursor_->FieldDefs().Count() &&
           IsBlobType(cursor_->FieldDefs()[column].BaseType);
}

bool TSQLMemDataSet::IsWideBlobColumn(int column) const {
    return IsBlobColumn(column) && cursor_->FieldDefs()[column].BaseType == bftWideClob;
}

int TSQLMemDataSet::CheckBlobField(const TField& field) const {
    if (field.binding_ < 0 || !cursor_) {
        ComponentError("Cannot perform this operation on a closed dataset");
    }
    if (field.Calculated() || field.FieldKind() == fkAggregate || !IsBlobColumn(field.binding_)) {
        field.AccessError("Blob");
    }
    return field.binding_;
}

std::vector<std::byte> TSQLMemDataSet::BlobContent(int column, const RowBuffer& row) const {
    if (static_cast<size_t>(column) < row.blobs.size() && row.blobs[column]) {
        return *row.blobs[column];
    }
    if (row.bytes.empty()) {
        return {};
    }
    return cursor_->ReadBlob(column, row.bytes.data());
}

FieldValue TSQLMemDataSet::ReadBlobValue(int column, const RowBuffer& row) const {
    const std::vector<std::byte> content = BlobContent(column, row);
    if (content.empty()) {
        return std::monostate{};
    }
    if (IsWideBlobColumn(column)) {
        return Utf16BytesToUtf8(content);
    }
    return std::string(reinterpret_cast<const char*>(content.data()), content.size());
}

std::vector<std::byte> TSQLMemDataSet::BlobContentOf(int column, const FieldValue& value) const {
    std::vector<std::byte> content;
    if (!std::holds_alternative<std::monostate>(value)) {
        const std::string text = ValueToText(value);
        if (IsWideBlobColumn(column)) {
            content = Utf8ToUtf16Bytes(text);
        } else {
            const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
            content.assign(bytes, bytes + text.size());
        }
    }
    return content;
}

void TSQLMemDataSet::WriteBlobValue(TField& field, const FieldValue& value) {
    SetBlobContent(field, BlobContentOf(field.binding_, value));
}

void TSQLMemDataSet::SetBlobContent(TField& field, std::vector<std::byte> content) {
    RowBuffer& row = current_;
    const int column = field.binding_;
    if (row.blobs.size() <= static_cast<size_t>(column)) {
        row.blobs.resize(static_cast<size_t>(cursor_->FieldDefs().Count()));
    }
    SetFieldNull(row.bytes.data(), column, content.empty());
    row.blobs[column] = std::move(content);
    modified_ = true;
    if (HasCalcFields() && auto_calc_fields_) {
        CalculateFields(current_);
    }
    NotifyDataSources(TDataEvent::FieldChange, &field);
}

std::unique_ptr<TSQLMemBlobStream> TSQLMemDataSet::CreateBlobStream(TField& field,
                                                                    TBlobStreamMode mode) {
    const int column = CheckBlobField(field);
    if (mode == bmRead) {
        return std::make_unique<TSQLMemBlobStream>(nullptr, column, mode, GetBlobBytes(field),
                                                   edit_serial_);
    }
    if (state_ != dsEdit && state_ != dsInsert) {
        throw ESQLMemException(10007, "Dataset not in edit or insert mode");
    }
    // Room for the hand-back now: a freed stream must not fail.
    if (current_.blobs.size() < static_cast<size_t>(cursor_->FieldDefs().Count())) {
        current_.blobs.resize(static_cast<size_t>(cursor_->FieldDefs().Count()));
    }
    std::vector<std::byte> content;
    if (mode == bmReadWrite) {
        content = GetBlobBytes(field);
    }
    return std::make_unique<TSQLMemBlobStream>(this, column, mode, std::move(content),
                                               edit_serial_);
}

std::vector<std::byte> TSQLMemDataSet::GetBlobBytes(const TField& field) const {
    const int column = CheckBlobField(field);
    return BlobContent(column, const_cast<TSQLMemDataSet*>(this)->ActiveBuffer());
}

void TSQLMemDataSet::SetBlobBytes(TField& field, std::span<const std::byte> bytes) {
    CheckBlobField(field);
    if (state_ != dsEdit && state_ != dsInsert) {
        throw ESQLMemException(10007, "Dataset not in edit or insert mode");
    }
    SetBlobContent(field, std::vector<std::byte>(bytes.begin(), bytes.end()));
}

void TSQLMemDataSet::CommitBlobStream(int column, uint64_t edit_serial,
                                      std::vector<std::byte>&& content) noexcept {
    if (!cursor_ || edit_serial != edit_serial_ || (state_ != dsEdit && state_ != dsInsert) ||
        static_cast<size_t>(column) >= current_.blobs.size()) {
        return;
    }
    SetFieldNull(current_.bytes.data(), column, content.empty());
    current_.blobs[column].emplace(std::move(content));
    modified_ = true;
}

void TSQLMemDataSet::DetachBlobStreams() noexcept {
    for (TSQLMemBlobStream* stream : blob_streams_) {
        stream->dataset_ = nullptr;
    }
    blob_streams_.clear();
}

}  // namespace tapir::engine

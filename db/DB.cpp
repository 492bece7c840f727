#include "DB.h"

#include <SysUtils.h>

#include <cstring>

namespace {

// リストのインデックスが範囲を超えています (%d)
const char kListIndexError[] =
    "\x83\x8a\x83\x58\x83\x67\x82\xcc\x83\x43\x83\x93\x83\x66\x83\x62\x83\x4e\x83\x58\x82\xaa\x94\xcd\x88\xcd"
    "\x82\xf0\x92\xb4\x82\xa6\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x20\x28\x25\x64\x29";
// パラメータ '%s' が見つかりません
const char kParamNotFound[] =
    "\x83\x70\x83\x89\x83\x81\x81\x5b\x83\x5e\x20\x27\x25\x73\x27\x20\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8"
    "\x82\xdc\x82\xb9\x82\xf1";
// データセットが開かれているため, この操作は実行できません
const char kDataSetOpen[] =
    "\x83\x66\x81\x5b\x83\x5e\x83\x5a\x83\x62\x83\x67\x82\xaa\x8a\x4a\x82\xa9\x82\xea\x82\xc4\x82\xa2\x82\xe9"
    "\x82\xbd\x82\xdf\x2c\x20\x82\xb1\x82\xcc\x91\x80\x8d\xec\x82\xcd\x8e\xc0\x8d\x73\x82\xc5\x82\xab\x82\xdc"
    "\x82\xb9\x82\xf1";
// データセットは閉じているため, この操作は実行できません
const char kDataSetClosed[] =
    "\x83\x66\x81\x5b\x83\x5e\x83\x5a\x83\x62\x83\x67\x82\xcd\x95\xc2\x82\xb6\x82\xc4\x82\xa2\x82\xe9\x82\xbd"
    "\x82\xdf\x2c\x20\x82\xb1\x82\xcc\x91\x80\x8d\xec\x82\xcd\x8e\xc0\x8d\x73\x82\xc5\x82\xab\x82\xdc\x82\xb9"
    "\x82\xf1";

[[noreturn]] void ListIndexError(int index)
{
    throw EListError(Format(kListIndexError, {std::int64_t{index}}));
}

bool IsParamNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}

} // namespace

const TFieldDef& TFieldDefs::Items(int index) const
{
    if (index < 0 || index >= Count())
        ListIndexError(index);
    return m_items[static_cast<std::size_t>(index)];
}

TFieldDef& TFieldDefs::Add(TFieldDef def)
{
    m_items.push_back(std::move(def));
    return m_items.back();
}

const TFieldDef* TFieldDefs::Find(const std::string& name) const
{
    for (const TFieldDef& def : m_items)
        if (SameText(def.Name, name))
            return &def;
    return nullptr;
}

void TParam::SetAsString(const std::string& value)
{
    m_value = value;
    m_isNull = false;
}

void TParam::Clear() noexcept
{
    m_value.clear();
    m_isNull = true;
}

void TParam::Assign(const TParam& other)
{
    m_value = other.m_value;
    m_isNull = other.m_isNull;
}

TParam& TParams::Items(int index) const
{
    if (index < 0 || index >= Count())
        ListIndexError(index);
    return *m_items[static_cast<std::size_t>(index)];
}

TParam& TParams::CreateParam(const std::string& name)
{
    m_items.push_back(std::make_unique<TParam>(name));
    return *m_items.back();
}

TParam* TParams::FindParam(const std::string& name) const
{
    for (const auto& param : m_items)
        if (SameText(param->Name(), name))
            return param.get();
    return nullptr;
}

TParam& TParams::ParamByName(const std::string& name) const
{
    if (TParam* param = FindParam(name))
        return *param;
    DatabaseError(Format(kParamNotFound, {name}));
}

void TParams::AssignValues(const TParams& source)
{
    for (const auto& from : source.m_items)
        if (TParam* to = FindParam(from->Name()))
            to->Assign(*from);
}

// Two walks read a query's text, this one and the statement's PreprocessSQL
// (IBSQLParams.cpp), and both must stay. This one runs when the text is
// assigned, before any connection, to give the caller Params to fill: one per
// name, and it never fails (an unclosed literal or comment is left for the
// server to refuse). The statement's runs at prepare to lay out the input
// area: one slot per marker, "?" included, and client error 55 for what it
// cannot read. They differ on "::", "?", a lone ":", repeated names and
// unclosed text, each visible to a caller; one scanner would need a switch
// at every one of those points.
std::string TParams::ParseSQL(const std::string& sql, bool doCreate)
{
    std::string out;
    out.reserve(sql.size());
    const std::size_t n = sql.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            // A literal runs to its closing quote; a doubled quote stays inside.
            std::size_t j = i + 1;
            while (j < n) {
                if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            out.append(sql, i, j - i);
            i = j;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            std::size_t end = sql.find("*/", i + 2);
            std::size_t j = end == std::string::npos ? n : end + 2;
            out.append(sql, i, j - i);
            i = j;
        } else if (c == ':' && i + 1 < n && sql[i + 1] == ':') {
            out += "::";
            i += 2;
        } else if (c == ':' && i + 1 < n && (IsParamNameChar(sql[i + 1]) || sql[i + 1] == '"')) {
            std::string name;
            std::size_t j = i + 1;
            if (sql[j] == '"') {
                std::size_t end = sql.find('"', j + 1);
                if (end == std::string::npos) {
                    // An unclosed quoted name is left as text for the server to refuse.
                    out.append(sql, i, n - i);
                    break;
                }
                name = sql.substr(j + 1, end - j - 1);
                j = end + 1;
            } else {
                while (j < n && IsParamNameChar(sql[j]))
                    ++j;
                name = sql.substr(i + 1, j - i - 1);
            }
            if (doCreate && !FindParam(name))
                CreateParam(name);
            out += '?';
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

// ---------------------------------------------------------------- fields

TField::TField(TDataSet* dataSet, const TFieldDef& def)
    : m_dataSet(dataSet),
      m_fieldName(def.Name),
      m_fieldNo(def.FieldNo),
      m_dataType(def.DataType),
      m_size(def.Size),
      m_required(def.Required()),
      m_readOnly((def.Attributes & faReadonly) != 0),
      m_fieldKind(def.InternalCalcField ? fkInternalCalc : fkData)
{
}

int TField::DataSize() const
{
    return 0;
}

bool TField::GetData(void* buffer) const
{
    return m_dataSet->GetFieldData(*this, buffer);
}

bool TField::IsNull() const
{
    // Large enough for every kind but strings, whose reader sizes its own.
    std::string scratch(static_cast<std::size_t>(std::max(DataSize(), 8)), '\0');
    return !GetData(scratch.data());
}

std::string TField::AsString() const
{
    return {};
}

TStringField::TStringField(TDataSet* dataSet, const TFieldDef& def)
    : TField(dataSet, def), m_fixedChar((def.Attributes & faFixed) != 0)
{
}

namespace {

// The typed fields read their slot into a value of their own width.
template <typename T>
bool ReadSlot(const TField& field, T& value)
{
    return field.DataSet()->GetFieldData(field, &value);
}

} // namespace

std::string TIntegerField::AsString() const
{
    std::int32_t value{};
    if (!ReadSlot(*this, value))
        return {};
    return IntToStr(value);
}

std::string TLargeintField::AsString() const
{
    std::int64_t value{};
    if (!ReadSlot(*this, value))
        return {};
    return IntToStr(value);
}

std::string TFloatField::AsString() const
{
    double value{};
    if (!ReadSlot(*this, value))
        return {};
    return FloatText(value);
}

std::string TBCDField::AsString() const
{
    std::int64_t value{};
    if (!ReadSlot(*this, value))
        return {};
    return ScaledText(value, -4);
}

void TFields::RaiseIndexError(int index)
{
    ListIndexError(index);
}

TField* TFields::FindField(const std::string& name) const
{
    for (const auto& field : m_items)
        if (SameText(field->FieldName(), name))
            return field.get();
    return nullptr;
}

// ---------------------------------------------------------------- TDataSet

void TDataSet::SetActive(bool value)
{
    if (value == m_active)
        return;
    if (value) {
        try {
            InternalOpen();
        } catch (...) {
            try {
                InternalClose();
            } catch (...) {
            }
            DestroyFields();
            m_active = false;
            throw;
        }
        m_active = true;
        // A failing first read leaves the set open with no record held.
        OpenCursor();
    } else {
        m_active = false;
        FreeWindow();
        InternalClose();
    }
}

void TDataSet::OpenCursor()
{
    m_bof = m_eof = true;
    if (!IsCursorOpen())
        return;
    AllocateWindow();
    ReadForward();
    m_bof = true;
}

void TDataSet::AllocateWindow()
{
    FreeWindow();
    m_buffers.reserve(2);
    for (int i = 0; i < 2; ++i)
        m_buffers.push_back(AllocRecordBuffer());
}

void TDataSet::FreeWindow() noexcept
{
    for (char* buffer : m_buffers)
        FreeRecordBuffer(buffer);
    m_buffers.clear();
    m_recordCount = 0;
    m_cursorMarkValid = false;
    m_bof = m_eof = true;
}

bool TDataSet::ReadForward()
{
    if (m_buffers.empty())
        return false;
    if (m_recordCount > 0 && !m_cursorMarkValid) {
        InternalSetToRecord(m_buffers[0]);
        m_cursorMarkValid = true;
    }
    // An empty window reads into its own record, a full one into the
    // scratch buffer, which then becomes the record.
    char* target = m_recordCount == 0 ? m_buffers[0] : m_buffers[1];
    TGetResult result;
    try {
        result = GetRecord(target, gmNext);
    } catch (...) {
        m_cursorMarkValid = false;
        throw;
    }
    if (result != grOK) {
        m_cursorMarkValid = false;
        return false;
    }
    if (m_recordCount == 0) {
        m_recordCount = 1;
        m_bof = m_eof = false;
    } else {
        std::swap(m_buffers[0], m_buffers[1]);
    }
    m_cursorMarkValid = true;
    return true;
}

void TDataSet::First()
{
    CheckActive();
    m_recordCount = 0;
    m_cursorMarkValid = false;
    m_bof = m_eof = true;
    InternalFirst();
    ReadForward();
    m_bof = true;
}

void TDataSet::Next()
{
    CheckActive();
    if (m_eof)
        return;
    m_bof = m_eof = false;
    if (!ReadForward())
        m_eof = true;
}

std::unique_ptr<TField> TDataSet::CreateField(const TFieldDef& def)
{
    switch (def.DataType) {
    case ftString:
        return std::make_unique<TStringField>(this, def);
    case ftSmallint:
        return std::make_unique<TSmallintField>(this, def);
    case ftInteger:
        return std::make_unique<TIntegerField>(this, def);
    case ftLargeint:
        return std::make_unique<TLargeintField>(this, def);
    case ftFloat:
        return std::make_unique<TFloatField>(this, def);
    case ftBCD:
        return std::make_unique<TBCDField>(this, def);
    case ftDate:
        return std::make_unique<TDateField>(this, def);
    case ftTime:
        return std::make_unique<TTimeField>(this, def);
    case ftDateTime:
        return std::make_unique<TDateTimeField>(this, def);
    case ftMemo:
        return std::make_unique<TMemoField>(this, def);
    case ftBlob:
        return std::make_unique<TBlobField>(this, def);
    default:
        return std::make_unique<TField>(this, def);
    }
}

void TDataSet::CreateFields()
{
    m_fields.Clear();
    for (int i = 0; i < m_fieldDefs.Count(); ++i)
        m_fields.Add(CreateField(m_fieldDefs.Items(i)));
}

void TDataSet::CheckInactive() const
{
    if (m_active)
        DatabaseError(kDataSetOpen, this);
}

void TDataSet::CheckActive() const
{
    if (!m_active)
        DatabaseError(kDataSetClosed, this);
}

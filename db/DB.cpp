#include "DB.h"

#include <SysUtils.h>

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
            m_active = false;
            throw;
        }
        m_active = true;
    } else {
        m_active = false;
        InternalClose();
    }
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

// A statement's descriptor area: the client structure, its entries' names
// and the buffers bound after a describe.
#include "IBSQL.h"

#include "IBHeader.h"

#include <SysUtils.h>

#include <cstring>

namespace {

// A name field of an XSQLVAR as the client wrote it: at most its 32 bytes,
// never past a zero byte.
std::string FieldText(const char* field)
{
    return std::string(field, strnlen(field, 32));
}

void WriteName(char* field, ISC_SHORT& length, const std::string& name)
{
    std::memset(field, 0, 32);
    const std::size_t n = std::min<std::size_t>(name.size(), 31);
    std::memcpy(field, name.data(), n);
    length = static_cast<ISC_SHORT>(n);
}

int DecimalWidth(int value)
{
    int width = 1;
    while (value >= 10) {
        value /= 10;
        ++width;
    }
    return width;
}

// The first `count` bytes of a CP932 text, backing off one byte rather than
// splitting a two-byte character.
std::string CutBytes(const std::string& text, std::size_t count)
{
    if (count >= text.size())
        return text;
    std::size_t i = 0;
    while (i < count) {
        std::size_t step = IsLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
        if (i + step > count)
            break;
        i += step;
    }
    return text.substr(0, i);
}

} // namespace

TIBXSQLDA::TIBXSQLDA(TIBSQL* sql) : m_sql(sql) {}

void TIBXSQLDA::Resize(int count)
{
    if (count < 0)
        count = 0;
    m_names.clear();
    for (auto& v : m_vars)
        v->m_name.clear();
    if (count == 0) {
        m_count = 0;
        m_uniqueRelationName.clear();
        return;
    }
    // The count changes last: growing can throw, and until then the entries
    // in use stay the ones that exist.
    if (count > m_size) {
        const std::size_t oldBytes = m_size == 0 ? 0 : XSQLDA_LENGTH(static_cast<std::size_t>(m_size));
        ReallocZeroed(m_sqlda, oldBytes, XSQLDA_LENGTH(static_cast<std::size_t>(count)));
        AsXSQLDA()->version = SQLDA_VERSION1;
        // The entries moved: every variable is re-pointed before anything else.
        for (std::size_t i = 0; i < m_vars.size(); ++i)
            m_vars[i]->m_var = OpaqueVar(&AsXSQLDA()->sqlvar[i]);
        for (std::size_t i = m_vars.size(); i < static_cast<std::size_t>(count); ++i) {
            m_vars.push_back(std::make_unique<TIBXSQLVAR>(this, m_sql, static_cast<int>(i)));
            m_vars.back()->m_var = OpaqueVar(&AsXSQLDA()->sqlvar[i]);
        }
        m_size = count;
    }
    AsXSQLDA()->sqln = static_cast<ISC_SHORT>(count);
    AsXSQLDA()->sqld = static_cast<ISC_SHORT>(count);
    m_count = count;
}

void TIBXSQLDA::BindBuffers()
{
    const bool generateNames = m_names.empty();
    m_uniqueRelationName.clear();
    bool lookForRelation = true;
    for (int i = 0; i < m_count; ++i) {
        TIBXSQLVAR& v = *m_vars[static_cast<std::size_t>(i)];
        XSQLVAR* x = v.XSqlVar();
        if (lookForRelation) {
            const std::string relation = FieldText(x->relname);
            if (!relation.empty()) {
                if (m_uniqueRelationName.empty()) {
                    m_uniqueRelationName = relation;
                } else if (relation != m_uniqueRelationName) {
                    m_uniqueRelationName.clear();
                    lookForRelation = false;
                }
            }
        }
        if (generateNames) {
            std::string base = FieldText(x->aliasname);
            std::size_t aliasLength = base.size();
            int suffix = 0;
            int width = 0;
            std::string alias = base;
            if (alias.empty()) {
                base = "F_";
                aliasLength = 2;
                suffix = 1;
                width = 1;
                alias = "F_1";
            }
            while (FindByName(alias)) {
                ++suffix;
                width = DecimalWidth(suffix);
                if (aliasLength + static_cast<std::size_t>(width) < 32)
                    alias = base + IntToStr(suffix);
                else
                    alias = CutBytes(base, 31 - static_cast<std::size_t>(width)) + IntToStr(suffix);
            }
            // The recorded length is the length of the name written back.
            WriteName(x->aliasname, x->aliasname_length, alias);
            RegisterName(alias, i);
        }
        v.BindBuffers();
    }
}

std::string TIBXSQLDA::NormalizeName(const std::string& name) const
{
    std::string result = Trim(name);
    if (m_sql->SQLDialect() == 1)
        return UpperCase(result);
    if (!result.empty() && result[0] == '"') {
        std::string inner = result.size() >= 2 ? result.substr(1, result.size() - 2) : std::string();
        std::string unquoted;
        unquoted.reserve(inner.size());
        for (std::size_t i = 0; i < inner.size(); ++i) {
            unquoted += inner[i];
            if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"')
                ++i;
        }
        return unquoted;
    }
    return UpperCase(result);
}

void TIBXSQLDA::RegisterName(const std::string& name, int index)
{
    if (index < 0)
        return;
    const std::string normalized = NormalizeName(name);
    if (m_names.size() <= static_cast<std::size_t>(index))
        m_names.resize(static_cast<std::size_t>(index) + 1);
    m_names[static_cast<std::size_t>(index)] = normalized;
    if (static_cast<std::size_t>(index) < m_vars.size()) {
        m_vars[static_cast<std::size_t>(index)]->m_name = normalized;
        m_vars[static_cast<std::size_t>(index)]->m_index = index;
    }
}

TIBXSQLVAR* TIBXSQLDA::FindByName(const std::string& name) const
{
    const std::string normalized = NormalizeName(name);
    for (std::size_t i = 0; i < m_names.size() && i < m_vars.size(); ++i)
        if (m_names[i] == normalized)
            return m_vars[i].get();
    return nullptr;
}

void TIBXSQLDA::RaiseIndexOutOfRange()
{
    RaiseClientError(ibxeXSQLDAIndexOutOfRange);
}

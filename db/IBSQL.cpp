#include "IBSQL.h"

#include "IBIntf.h"
#include "IBSQLValues.h"

#include <FirstError.h>
#include <SysUtils.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// コメントの途中でファイルが終わりました。
const char kEofInComment[] =
    "\x83\x52\x83\x81\x83\x93\x83\x67\x82\xcc\x93\x72\x92\x86\x82\xc5\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa"
    "\x8f\x49\x82\xed\x82\xe8\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// 文字列の途中でファイルが終わりました。
const char kEofInString[] =
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x93\x72\x92\x86\x82\xc5\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8f\x49"
    "\x82\xed\x82\xe8\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// パラメータ名が必要です。
const char kParamNameExpected[] =
    "\x83\x70\x83\x89\x83\x81\x81\x5b\x83\x5e\x96\xbc\x82\xaa\x95\x4b\x97\x76\x82\xc5\x82\xb7\x81\x42";

[[noreturn]] void InvalidConversion()
{
    RaiseClientError(ibxeInvalidDataConversion);
}

const TClientApi& Api()
{
    return ClientApi();
}

char* CallocOrThrow(std::size_t size)
{
    void* p = std::calloc(size, 1);
    if (!p)
        throw std::bad_alloc();
    return static_cast<char*>(p);
}

// A name field of an XSQLVAR: at most the recorded length, at most the
// field's 32 bytes, and never past a zero byte.
std::string CutName(const char* field, int length)
{
    std::size_t n = 0;
    const std::size_t limit = length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), 32);
    while (n < limit && field[n] != '\0')
        ++n;
    return std::string(field, n);
}

std::string FieldText(const char* field)
{
    return CutName(field, 32);
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

template <typename T>
T ReadAs(const char* data)
{
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}

[[noreturn]] void ParseError(const char* message)
{
    RaiseClientError(ibxeSQLParseError, {std::string(message)});
}

bool IsRowKeyName(const std::string& name)
{
    return name == "DB_KEY" || name == "RDB$DB_KEY";
}

} // namespace

// ---------------------------------------------------------------- TIBXSQLVAR

TIBXSQLVAR::TIBXSQLVAR(TIBXSQLDA* parent, TIBSQL* sql, int index) : m_parent(parent), m_sql(sql), m_index(index) {}

const char* TIBXSQLVAR::AsPointer() const noexcept
{
    return IsNull() ? nullptr : m_var->sqldata;
}

std::string TIBXSQLVAR::SqlName() const
{
    return CutName(m_var->sqlname, m_var->sqlname_length);
}

std::string TIBXSQLVAR::RelName() const
{
    return CutName(m_var->relname, m_var->relname_length);
}

std::string TIBXSQLVAR::AliasName() const
{
    return CutName(m_var->aliasname, m_var->aliasname_length);
}

std::string TIBXSQLVAR::AsText() const
{
    if (IsNull())
        return {};
    const char* data = m_var->sqldata;
    if (!data)
        return {};
    const int length = std::max<int>(m_var->sqllen, 0);
    switch (SqlType()) {
    case SQL_VARYING: {
        // Never past the buffer, whatever the length word says.
        if (m_dataSize < 2)
            return {};
        std::size_t n = static_cast<std::uint16_t>(VaxInteger(data, 2));
        n = std::min({n, static_cast<std::size_t>(length), m_dataSize - 2});
        return std::string(data + 2, n);
    }
    case SQL_TEXT:
        return std::string(data, std::min(static_cast<std::size_t>(length), m_dataSize));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        return FloatText(ReadAs<double>(data));
    case SQL_FLOAT:
        return FloatText(ReadAs<float>(data));
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
        const std::int64_t value = SqlType() == SQL_SHORT ? ReadAs<ISC_SHORT>(data)
                                 : SqlType() == SQL_LONG  ? ReadAs<ISC_LONG>(data)
                                                          : ReadAs<ISC_INT64>(data);
        const int scale = Scale();
        if (scale == 0)
            return IntToStr(value);
        if (scale < -4)
            return FloatText(static_cast<double>(value) * std::pow(10.0, scale));
        return ScaledText(value, scale);
    }
    case SQL_TIMESTAMP: {
        const ISC_TIMESTAMP stamp = ReadAs<ISC_TIMESTAMP>(data);
        return DateText(stamp.timestamp_date) + " " + TimeText(stamp.timestamp_time);
    }
    case SQL_TYPE_DATE: {
        const int dialect = m_sql->SQLDialect();
        if (dialect == 1)
            return DateText(ReadAs<ISC_DATE>(data)) + " " + TimeText(0);
        if (dialect == 3)
            return DateText(ReadAs<ISC_DATE>(data));
        return {};
    }
    case SQL_TYPE_TIME:
        return TimeText(ReadAs<ISC_TIME>(data));
    case SQL_BLOB:
        RaiseClientError(ibxeNotSupported);
    case SQL_ARRAY:
        return "(Array)";
    default:
        InvalidConversion();
    }
}

std::string TIBXSQLVAR::AsTrimmedText() const
{
    return TrimRight(AsText());
}

std::int64_t TIBXSQLVAR::AsInt64() const
{
    if (IsNull())
        return 0;
    const char* data = m_var->sqldata;
    std::int64_t result = 0;
    switch (SqlType()) {
    case SQL_SHORT:
        if (!ScaleToInt64(ReadAs<ISC_SHORT>(data), Scale(), result))
            InvalidConversion();
        return result;
    case SQL_LONG:
        if (!ScaleToInt64(ReadAs<ISC_LONG>(data), Scale(), result))
            InvalidConversion();
        return result;
    case SQL_INT64:
        if (!ScaleToInt64(ReadAs<ISC_INT64>(data), Scale(), result))
            InvalidConversion();
        return result;
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
    case SQL_FLOAT:
        if (!DoubleToInt64(AsDouble(), result))
            InvalidConversion();
        return result;
    case SQL_VARYING:
    case SQL_TEXT:
        if (!ParseInt64(AsText(), result))
            InvalidConversion();
        return result;
    default:
        InvalidConversion();
    }
}

std::int32_t TIBXSQLVAR::AsLong() const
{
    const std::int64_t value = AsInt64();
    if (value < INT32_MIN || value > INT32_MAX)
        InvalidConversion();
    return static_cast<std::int32_t>(value);
}

double TIBXSQLVAR::AsDouble() const
{
    if (IsNull())
        return 0;
    const char* data = m_var->sqldata;
    switch (SqlType()) {
    case SQL_SHORT:
        return ReadAs<ISC_SHORT>(data) * std::pow(10.0, Scale());
    case SQL_LONG:
        return ReadAs<ISC_LONG>(data) * std::pow(10.0, Scale());
    case SQL_INT64:
        return static_cast<double>(ReadAs<ISC_INT64>(data)) * std::pow(10.0, Scale());
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        return ReadAs<double>(data);
    case SQL_FLOAT:
        return ReadAs<float>(data);
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
        return AsDateTime();
    case SQL_VARYING:
    case SQL_TEXT: {
        double value = 0;
        if (!ParseDouble(AsText(), value))
            InvalidConversion();
        return value;
    }
    default:
        InvalidConversion();
    }
}

std::int64_t TIBXSQLVAR::AsCurrency() const
{
    if (IsNull())
        return 0;
    const char* data = m_var->sqldata;
    std::int64_t value = 0;
    switch (SqlType()) {
    case SQL_SHORT:
        value = ReadAs<ISC_SHORT>(data);
        break;
    case SQL_LONG:
        value = ReadAs<ISC_LONG>(data);
        break;
    case SQL_INT64:
        value = ReadAs<ISC_INT64>(data);
        break;
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
    case SQL_FLOAT:
    case SQL_VARYING:
    case SQL_TEXT: {
        std::int64_t result = 0;
        if (!DoubleToInt64(AsDouble() * 10000.0, result))
            InvalidConversion();
        return result;
    }
    default:
        InvalidConversion();
    }
    std::int64_t result = 0;
    if (!ScaleToInt64(value, Scale() + 4, result))
        InvalidConversion();
    return result;
}

double TIBXSQLVAR::AsDateTime() const
{
    if (IsNull())
        return 0;
    const char* data = m_var->sqldata;
    switch (SqlType()) {
    case SQL_TIMESTAMP: {
        const ISC_TIMESTAMP stamp = ReadAs<ISC_TIMESTAMP>(data);
        return ToDateTime(stamp.timestamp_date, stamp.timestamp_time);
    }
    case SQL_TYPE_DATE:
        return ToDateTime(ReadAs<ISC_DATE>(data), 0);
    case SQL_TYPE_TIME:
        return static_cast<double>(ReadAs<ISC_TIME>(data)) / static_cast<double>(kTimeUnitsPerDay);
    case SQL_VARYING:
    case SQL_TEXT: {
        double value = 0;
        if (!ParseDateTime(AsText(), value))
            InvalidConversion();
        return value;
    }
    default:
        InvalidConversion();
    }
}

template <typename F>
void TIBXSQLVAR::ForEachSameNamed(F f)
{
    const std::vector<std::string>& names = m_parent->m_names;
    const int count = std::min<int>(m_parent->m_count, static_cast<int>(names.size()));
    bool self = false;
    for (int i = 0; i < count; ++i)
        if (names[static_cast<std::size_t>(i)] == m_name) {
            self = self || i == m_index;
            f(*m_parent->m_vars[static_cast<std::size_t>(i)]);
        }
    // An entry that was never registered still takes its own value.
    if (!self)
        f(*this);
}

void TIBXSQLVAR::MakeNullable()
{
    if (!m_indicator) {
        m_indicator.reset(reinterpret_cast<short*>(CallocOrThrow(sizeof(short))));
    }
    m_var->sqltype = static_cast<ISC_SHORT>(m_var->sqltype | 1);
    m_var->sqlind = m_indicator.get();
}

void TIBXSQLVAR::SetIndicator(short value)
{
    *m_indicator = value;
    m_modified = true;
}

void TIBXSQLVAR::AssignNull(bool isNull)
{
    if (isNull) {
        // Every same-named entry must be able to hold the null, not only this
        // one: an entry without an indicator buffer is made nullable first.
        ForEachSameNamed([](TIBXSQLVAR& v) {
            if (!v.IsNullable() || !v.m_indicator)
                v.MakeNullable();
        });
        ForEachSameNamed([](TIBXSQLVAR& v) { v.SetIndicator(-1); });
    } else if (IsNullable()) {
        ForEachSameNamed([](TIBXSQLVAR& v) {
            if (v.IsNullable() && v.m_indicator)
                v.SetIndicator(0);
        });
    }
}

void TIBXSQLVAR::StoreText(const std::string& value, bool nullable)
{
    // The longest text a fixed-text entry can describe.
    constexpr std::size_t kMaxTextLength = SHRT_MAX;
    const std::size_t limit = m_maxLength > 0 ? static_cast<std::size_t>(m_maxLength) : kMaxTextLength;
    ForEachSameNamed([&](TIBXSQLVAR& v) {
        if (IsRowKeyName(v.SqlName())) {
            // A row key is copied whole into its own buffer or not at all.
            const std::size_t keyLength = static_cast<std::size_t>(std::max<int>(v.m_var->sqllen, 0));
            if (value.size() != keyLength || keyLength > v.m_dataSize)
                InvalidConversion();
            std::memcpy(v.m_var->sqldata, value.data(), keyLength);
            v.m_modified = true;
            return;
        }
        if (value.size() > limit)
            RaiseClientError(ibxeStringTooLarge, {static_cast<std::int64_t>(value.size()),
                                                  static_cast<std::int64_t>(limit)});
        char* buffer = CallocOrThrow(value.size() + 1);
        std::memcpy(buffer, value.data(), value.size());
        v.m_data.reset(buffer);
        v.m_dataSize = value.size() + 1;
        v.m_var->sqldata = buffer;
        v.m_var->sqltype = static_cast<ISC_SHORT>(SQL_TEXT | (nullable ? 1 : 0));
        v.m_var->sqllen = static_cast<ISC_SHORT>(value.size());
        if (nullable && !v.m_indicator)
            v.MakeNullable();
        v.m_modified = true;
    });
}

void TIBXSQLVAR::StoreTimestamp(const ISC_TIMESTAMP& stamp, bool nullable)
{
    ForEachSameNamed([&](TIBXSQLVAR& v) {
        char* buffer = CallocOrThrow(sizeof stamp);
        std::memcpy(buffer, &stamp, sizeof stamp);
        v.m_data.reset(buffer);
        v.m_dataSize = sizeof stamp;
        v.m_var->sqldata = buffer;
        v.m_var->sqltype = static_cast<ISC_SHORT>(SQL_TIMESTAMP | (nullable ? 1 : 0));
        v.m_var->sqllen = static_cast<ISC_SHORT>(sizeof stamp);
        if (nullable && !v.m_indicator)
            v.MakeNullable();
        v.m_modified = true;
    });
}

void TIBXSQLVAR::AssignText(const std::string& value)
{
    const bool nullable = IsNullable();
    if (nullable)
        AssignNull(false);
    // A text stored before has made the entry fixed text: the parameter's
    // kind is what the describe said.
    switch (m_describedType) {
    case SQL_VARYING:
    case SQL_TEXT:
        StoreText(value, nullable);
        return;
    case SQL_BLOB:
        RaiseClientError(ibxeNotSupported);
    default:
        break;
    }
    if (value.empty()) {
        AssignNull(true);
        return;
    }
    switch (m_describedType) {
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIME:
    case SQL_TYPE_DATE: {
        double dateTime = 0;
        if (!ParseDateTime(value, dateTime))
            InvalidConversion();
        StoreTimestamp(FromDateTime(dateTime), nullable);
        return;
    }
    default:
        StoreText(value, nullable);
    }
}

void TIBXSQLVAR::AssignBytes(const char* data, std::size_t length)
{
    if (!data) {
        if (!IsNullable() || !m_indicator)
            MakeNullable();
        SetIndicator(-1);
        return;
    }
    // The longest text a fixed-text entry can describe.
    constexpr std::size_t kMaxTextLength = SHRT_MAX;
    if (length > kMaxTextLength)
        RaiseClientError(ibxeStringTooLarge,
                         {static_cast<std::int64_t>(length), static_cast<std::int64_t>(kMaxTextLength)});
    if (length > m_dataSize) {
        // Grown to twice the need, so that a run of longer values reallocates
        // a few times at most.
        const std::size_t size = std::max(length, m_dataSize) * 2;
        m_data.reset(CallocOrThrow(size));
        m_dataSize = size;
    }
    std::memcpy(m_data.get(), data, length);
    m_var->sqldata = m_data.get();
    m_var->sqltype = static_cast<ISC_SHORT>(SQL_TEXT | (m_var->sqltype & 1));
    m_var->sqllen = static_cast<ISC_SHORT>(length);
    if (IsNullable() && m_indicator)
        *m_indicator = 0;
    m_modified = true;
}

void TIBXSQLVAR::BindBuffers()
{
    const int type = SqlType();
    const std::size_t length = static_cast<std::size_t>(std::max<int>(m_var->sqllen, 0));
    // Fixed-size types get at least their own size, so that a reader never
    // passes the buffer whatever the description said.
    std::size_t natural = 0;
    switch (type) {
    case SQL_VARYING:
        natural = length + 2;
        break;
    case SQL_TEXT:
        break;
    case SQL_SHORT:
        natural = sizeof(ISC_SHORT);
        break;
    case SQL_LONG:
    case SQL_FLOAT:
    case SQL_TYPE_TIME:
    case SQL_TYPE_DATE:
        natural = 4;
        break;
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
    case SQL_TIMESTAMP:
    case SQL_BLOB:
    case SQL_ARRAY:
    case SQL_QUAD:
    case SQL_INT64:
        natural = 8;
        break;
    default:
        RaiseClientError(ibxeUnknownSQLDataType, {std::int64_t{type}});
    }
    m_maxLength = (type == SQL_VARYING || type == SQL_TEXT) ? static_cast<int>(length) : 0;
    m_describedType = type;
    const std::size_t size = std::max<std::size_t>({length, natural, 1});
    m_data.reset(CallocOrThrow(size));
    m_dataSize = size;
    m_var->sqldata = m_data.get();
    if (IsNullable()) {
        m_indicator.reset(reinterpret_cast<short*>(CallocOrThrow(sizeof(short))));
        m_var->sqlind = m_indicator.get();
    } else {
        m_indicator.reset();
        m_var->sqlind = nullptr;
    }
}

// ----------------------------------------------------------------- TIBXSQLDA

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
        m_sqlda->version = SQLDA_VERSION1;
        // The entries moved: every variable is re-pointed before anything else.
        for (std::size_t i = 0; i < m_vars.size(); ++i)
            m_vars[i]->m_var = &m_sqlda->sqlvar[i];
        for (std::size_t i = m_vars.size(); i < static_cast<std::size_t>(count); ++i) {
            m_vars.push_back(std::make_unique<TIBXSQLVAR>(this, m_sql, static_cast<int>(i)));
            m_vars.back()->m_var = &m_sqlda->sqlvar[i];
        }
        m_size = count;
    }
    m_sqlda->sqln = static_cast<ISC_SHORT>(count);
    m_sqlda->sqld = static_cast<ISC_SHORT>(count);
    m_count = count;
}

void TIBXSQLDA::BindBuffers()
{
    const bool generateNames = m_names.empty();
    m_uniqueRelationName.clear();
    bool lookForRelation = true;
    for (int i = 0; i < m_count; ++i) {
        TIBXSQLVAR& v = *m_vars[static_cast<std::size_t>(i)];
        XSQLVAR* x = v.m_var;
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

// -------------------------------------------------------------- PreprocessSQL

TProcessedSQL PreprocessSQL(const std::string& text, bool autoParamNames)
{
    enum { Plain, Comment, Literal, Parameter } state = Plain;
    TProcessedSQL result;
    std::string& out = result.Text;
    out.reserve(text.size());
    char quote = 0;
    std::string name;
    bool quotedName = false;
    int counter = 0;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[i];
        const bool hasNext = i + 1 < n;
        const char next = hasNext ? text[i + 1] : '\0';
        switch (state) {
        case Plain:
            if (c == '\'' || c == '"') {
                quote = c;
                state = Literal;
            } else if (c == '/' && next == '*') {
                out += c;
                c = text[++i];
                state = Comment;
            } else if (c == ':' || c == '?') {
                out += '?';
                state = Parameter;
            }
            break;
        case Comment:
            if (!hasNext)
                ParseError(kEofInComment);
            if (c == '*' && next == '/')
                state = Plain;
            break;
        case Literal:
            if (!hasNext)
                ParseError(kEofInString);
            if (c == quote) {
                if (next == quote) {
                    out += c;
                    c = text[++i];
                } else {
                    state = Plain;
                }
            }
            break;
        case Parameter:
            // The character that ends a parameter is examined as ordinary
            // text, so that a quote, a comment or another marker right after
            // a parameter keeps its meaning.
            if (!quotedName) {
                if (c == '"') {
                    quotedName = true;
                } else if (IsNameChar(c)) {
                    name += c;
                    if (!IsNameChar(next)) {
                        result.Names.push_back(name);
                        name.clear();
                        state = Plain;
                    }
                } else {
                    if (!autoParamNames)
                        ParseError(kParamNameExpected);
                    result.Names.push_back("IBXParam" + IntToStr(counter++));
                    state = Plain;
                    --i;
                }
            } else if (c == '"') {
                result.Names.push_back(name);
                name.clear();
                quotedName = false;
                state = Plain;
            } else {
                name += c;
            }
            continue;
        }
        if (state != Parameter)
            out += c;
    }
    if (state == Parameter) {
        // The text ended right after a marker or inside a quoted name.
        if (quotedName)
            ParseError(kEofInString);
        if (!autoParamNames)
            ParseError(kParamNameExpected);
        result.Names.push_back("IBXParam" + IntToStr(counter++));
    }
    return result;
}

// -------------------------------------------------------------------- TIBSQL

TIBSQL::TIBSQL(std::string name) : TComponent(std::move(name)), m_input(this), m_output(this)
{
    EnsureClientLoaded();
    m_base = std::make_unique<TIBBase>(this);
    m_base->OnTransactionEnding = [this](TIBBase*) { BeforeTransactionEnd(); };
    m_base->OnDatabaseDisconnecting = [this](TIBBase*) { BeforeDisconnect(); };
    m_sql.OnChanging = [this] { SQLChanging(); };
    std::string digits;
    while (digits.size() < 8)
        digits += IntToStr(Random(2147483647));
    m_cursorName = Name() + digits.substr(0, 8);
}

TIBSQL::~TIBSQL()
{
    m_sql.OnChanging = nullptr;
    CloseQuietly();
    DropQuietly();
}

int TIBSQL::SQLDialect() const
{
    if (TIBDatabase* database = m_base->Database())
        return database->SQLDialect();
    return DefaultSQLDialect;
}

void TIBSQL::SetDatabase(TIBDatabase* database)
{
    if (database == m_base->Database())
        return;
    // The server statement belongs to the old connection.
    if (m_handle != 0) {
        Close();
        DropStatement();
    }
    m_base->SetLinkedDatabase(database);
}

void TIBSQL::SetTransaction(TIBTransaction* transaction)
{
    if (transaction == m_base->Transaction())
        return;
    if (m_open)
        Close();
    m_base->SetLinkedTransaction(transaction);
}

ISC_STATUS TIBSQL::CheckCall(ISC_STATUS status, bool raise)
{
    if (TIBTransaction* transaction = m_base->Transaction())
        return transaction->CheckCall(status, raise);
    if (TIBDatabase* database = m_base->Database())
        return database->CheckCall(status, raise);
    if (raise && status > 0)
        RaiseServerError();
    return status;
}

void TIBSQL::SQLChanging()
{
    if (OnSQLChanging)
        OnSQLChanging(this);
    if (m_handle != 0)
        DropStatement();
}

void TIBSQL::PreprocessParams()
{
    TProcessedSQL processed = PreprocessSQL(m_sql.Text(), m_autoParamNames);
    m_input.Resize(static_cast<int>(processed.Names.size()));
    for (std::size_t i = 0; i < processed.Names.size(); ++i)
        m_input.RegisterName(processed.Names[i], static_cast<int>(i));
    TStringList lines;
    lines.SetText(processed.Text);
    lines.TextTo(m_processedText);
}

void TIBSQL::Prepare()
{
    if (m_open)
        RaiseClientError(ibxeSQLOpen);
    m_base->RequireDatabase();
    m_base->RequireTransaction();
    if (m_prepared)
        return;
    if (m_sql.Empty())
        RaiseClientError(ibxeEmptyQuery);
    if (m_paramCheck)
        PreprocessParams();
    else {
        m_sql.TextTo(m_processedText);   // as it stands; reuses the room of the last statement's text
        // One entry gives the describe room to say how many there are.
        if (m_positionalParams)
            m_input.Resize(1);
    }
    if (m_processedText.empty())
        RaiseClientError(ibxeEmptyQuery);
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    try {
        CheckCall(Api().isc_dsql_alloc_statement2(ThreadStatusVector(), m_base->DatabaseHandle(), &m_handle), true);
        CheckCall(Api().isc_dsql_prepare(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, 0,
                                         m_processedText.c_str(), dialect, nullptr),
                  true);
        ReadStatementType();
        switch (m_statementType) {
        case SQLGetSegment:
        case SQLPutSegment:
        case SQLStartTransaction:
            DropStatement();
            RaiseClientError(ibxeNotPermitted);
        default:
            if (m_statementType > SQLUnknown && m_statementType <= SQLSetGenerator)
                DescribeAreas();
        }
        m_prepared = true;
    } catch (...) {
        DropQuietly();
        throw;
    }
}

void TIBSQL::ReadStatementType()
{
    const char request[] = {isc_info_sql_stmt_type};
    char result[8] = {};
    CheckCall(Api().isc_dsql_sql_info(ThreadStatusVector(), &m_handle, sizeof request, request, sizeof result, result),
              true);
    if (result[0] != isc_info_sql_stmt_type)
        RaiseClientError(ibxeUnknownError);
    const ISC_LONG length = VaxInteger(result + 1, 2);
    // The value must lie inside the 8-byte reply.
    if (length < 0 || length > static_cast<ISC_LONG>(sizeof result) - 3)
        RaiseClientError(ibxeUnknownError);
    m_statementType = static_cast<int>(VaxInteger(result + 3, static_cast<int>(length)));
}

void TIBSQL::DescribeAreas()
{
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    if (XSQLDA* input = m_input.AsXSQLDA()) {
        if (CheckCall(Api().isc_dsql_describe_bind(ThreadStatusVector(), &m_handle, dialect, input), false) > 0)
            RaiseServerError();
        if (m_positionalParams && !m_paramCheck && input->sqld != m_input.Count()) {
            const int described = input->sqld;
            const bool grow = described > m_input.Count();
            m_input.Resize(described);
            input = m_input.AsXSQLDA();
            if (grow &&
                CheckCall(Api().isc_dsql_describe_bind(ThreadStatusVector(), &m_handle, dialect, input), false) > 0)
                RaiseServerError();
        }
        // Named by position, so that BindBuffers does not derive a name for
        // each entry from all the names before it.
        if (m_positionalParams && !m_paramCheck)
            for (int i = 0; i < m_input.Count(); ++i)
                m_input.RegisterName(IntToStr(i + 1), i);
        // Entries the walk did not register are not bound; the client must
        // not be handed them with buffers left from an earlier statement.
        if (input->sqld > m_input.Count())
            input->sqld = static_cast<ISC_SHORT>(m_input.Count());
    }
    m_input.BindBuffers();
    if (m_statementType == SQLSelect || m_statementType == SQLExecProcedure ||
        m_statementType == SQLSelectForUpdate) {
        m_output.Resize(1);
        CheckCall(Api().isc_dsql_describe(ThreadStatusVector(), &m_handle, dialect, m_output.AsXSQLDA()), true);
        if (m_output.AsXSQLDA()->sqld > m_output.AsXSQLDA()->sqln) {
            m_output.Resize(m_output.AsXSQLDA()->sqld);
            CheckCall(Api().isc_dsql_describe(ThreadStatusVector(), &m_handle, dialect, m_output.AsXSQLDA()), true);
        }
        if (m_output.AsXSQLDA()->sqld == 0)
            m_output.Resize(0);
        m_output.BindBuffers();
    }
}

void TIBSQL::ExecQuery()
{
    if (m_open)
        RaiseClientError(ibxeSQLOpen);
    if (!m_prepared)
        Prepare();
    m_base->RequireTransaction();
    if (m_handle == 0)
        RaiseClientError(ibxeInvalidStatementHandle);
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    switch (m_statementType) {
    case SQLSelect:
        CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                          m_input.AsXSQLDA(), nullptr),
                  true);
        m_open = true;
        m_bof = true;
        m_eof = false;
        m_recordCount = 0;
        try {
            CheckCall(Api().isc_dsql_set_cursor_name(ThreadStatusVector(), &m_handle, m_cursorName.c_str(), 0), true);
        } catch (...) {
            // The server's cursor is open: close it, or the next execution
            // would meet it.
            CloseQuietly();
            throw;
        }
        if (m_goToFirstRecordOnExecute)
            Fetch();
        break;
    case SQLExecProcedure: {
        const ISC_STATUS status =
            CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                              m_input.AsXSQLDA(), m_output.AsXSQLDA()),
                      false);
        if (status == 0)
            break;
        if (status == isc_lock_conflict_code)
            RaiseServerError();
        Api().isc_dsql_prepare(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, 0,
                               m_processedText.c_str(), dialect, nullptr);
        CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                          m_input.AsXSQLDA(), m_output.AsXSQLDA()),
                  true);
        break;
    }
    default:
        CheckCall(Api().isc_dsql_execute(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                         m_input.AsXSQLDA()),
                  true);
    }
}

void TIBSQL::ExecPrepared()
{
    if (!m_prepared || m_handle == 0)
        RaiseClientError(ibxeInvalidStatementHandle);
    if (m_statementType == SQLSelect || m_statementType == SQLSelectForUpdate)
        RaiseClientError(ibxeNotPermitted);
    m_base->RequireTransaction();
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    XSQLDA* input = m_input.Count() > 0 ? m_input.AsXSQLDA() : nullptr;
    if (m_output.Count() > 0)
        CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect, input,
                                          m_output.AsXSQLDA()),
                  true);
    else
        CheckCall(Api().isc_dsql_execute(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect, input),
                  true);
}

TIBXSQLDA* TIBSQL::Fetch()
{
    if (m_eof)
        return nullptr;
    if (!m_open)
        RaiseClientError(ibxeSQLClosed);
    const ISC_STATUS status = CheckCall(
        Api().isc_dsql_fetch(ThreadStatusVector(), &m_handle, static_cast<unsigned short>(SQLDialect()),
                             m_output.AsXSQLDA()),
        false);
    if (status != 0) {
        if (status == 100 || StatusVectorHas({isc_dsql_cursor_err_code})) {
            m_eof = true;
            return nullptr;
        }
        if (status > 0) {
            // The message is built before Close makes another call that
            // would overwrite the status vector.
            try {
                RaiseServerError();
            } catch (...) {
                CloseQuietly();
                throw;
            }
        }
    }
    ++m_recordCount;
    m_bof = false;
    return &m_output;
}

void TIBSQL::ResetCursor() noexcept
{
    m_eof = false;
    m_bof = false;
    m_open = false;
    m_recordCount = 0;
}

void TIBSQL::Close()
{
    bool raise = false;
    if (m_handle != 0 && m_statementType == SQLSelect && m_open) {
        const ISC_STATUS status =
            CheckCall(Api().isc_dsql_free_statement(ThreadStatusVector(), &m_handle, DSQL_close), false);
        raise = ThreadStatusVector()[0] == 1 && status > 0 &&
                !StatusVectorHas({isc_bad_stmt_handle_code, isc_dsql_cursor_close_err_code});
    }
    ResetCursor();
    if (raise)
        RaiseServerError();
}

void TIBSQL::CloseQuietly() noexcept
{
    try {
        Close();
    } catch (...) {
    }
}

void TIBSQL::DropQuietly() noexcept
{
    if (m_handle == 0)
        return;
    try {
        DropStatement();
    } catch (...) {
    }
}

void TIBSQL::DropStatement()
{
    m_output.Resize(0);
    m_input.Resize(0);
    bool raise = false;
    if (m_handle != 0) {
        const ISC_STATUS status =
            CheckCall(Api().isc_dsql_free_statement(ThreadStatusVector(), &m_handle, DSQL_drop), false);
        raise = ThreadStatusVector()[0] == 1 && status > 0 && !StatusVectorHas({isc_bad_stmt_handle_code});
    }
    m_prepared = false;
    m_handle = 0;
    // Dropping the statement also ends its cursor on the server.
    ResetCursor();
    if (raise)
        RaiseServerError();
}

int TIBSQL::AffectedRows()
{
    if (!m_prepared)
        return -1;
    const char request[] = {isc_info_sql_records};
    char reply[1049] = {};
    if (CheckCall(Api().isc_dsql_sql_info(ThreadStatusVector(), &m_handle, sizeof request, request, sizeof reply,
                                          reply),
                  false) > 0)
        RaiseServerError();
    if (reply[0] != isc_info_sql_records)
        return -1;
    char wanted;
    switch (m_statementType) {
    case SQLUpdate:
        wanted = isc_info_req_update_count;
        break;
    case SQLDelete:
        wanted = isc_info_req_delete_count;
        break;
    case SQLInsert:
        wanted = isc_info_req_insert_count;
        break;
    default:
        return -1;
    }
    // The counts come as items (code, 2-byte length, value); they are found
    // by their codes, inside the reply's own length.
    const std::size_t end =
        std::min<std::size_t>(3 + static_cast<std::uint16_t>(VaxInteger(reply + 1, 2)), sizeof reply);
    std::size_t p = 3;
    while (p + 3 <= end && reply[p] != isc_info_end) {
        const std::size_t length = static_cast<std::uint16_t>(VaxInteger(reply + p + 1, 2));
        if (p + 3 + length > end)
            break;
        if (reply[p] == wanted)
            return static_cast<int>(VaxInteger(reply + p + 3, static_cast<int>(length)));
        p += 3 + length;
    }
    return -1;
}

TIBXSQLVAR& TIBSQL::Column(int index)
{
    if (index < 0 || index >= m_output.Count())
        RaiseClientError(ibxeFieldNotFound, {IntToStr(index)});
    return m_output.Item(index);
}

TIBXSQLDA& TIBSQL::InputArea()
{
    if (!m_prepared)
        Prepare();
    return m_input;
}

void TIBSQL::BeforeTransactionEnd()
{
    if (m_open)
        Close();
}

void TIBSQL::BeforeDisconnect()
{
    if (m_handle == 0)
        return;
    TFirstError error;
    error.Run([this] { Close(); });
    error.Run([this] { DropStatement(); });
    error.Rethrow();
}

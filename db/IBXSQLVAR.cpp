// One entry of a descriptor area: its buffers, the readers that convert a
// fetched value and the writers that bind a parameter.
#include "IBSQL.h"

#include "IBHeader.h"
#include "IBSQLValues.h"

#include <SysUtils.h>

#include <climits>
#include <cmath>
#include <cstring>

namespace {

[[noreturn]] void InvalidConversion()
{
    RaiseClientError(ibxeInvalidDataConversion);
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

template <typename T>
T ReadAs(const char* data)
{
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

bool IsRowKeyName(const std::string& name)
{
    return name == "DB_KEY" || name == "RDB$DB_KEY";
}

} // namespace

TIBXSQLVAR::TIBXSQLVAR(TIBXSQLDA* parent, TIBSQL* sql, int index) : m_parent(parent), m_sql(sql), m_index(index) {}

int TIBXSQLVAR::SqlType() const noexcept
{
    return XSqlVar()->sqltype & ~1;
}

int TIBXSQLVAR::Scale() const noexcept
{
    return XSqlVar()->sqlscale;
}

int TIBXSQLVAR::SubType() const noexcept
{
    return XSqlVar()->sqlsubtype;
}

int TIBXSQLVAR::Length() const noexcept
{
    return XSqlVar()->sqllen;
}

bool TIBXSQLVAR::IsNullable() const noexcept
{
    return (XSqlVar()->sqltype & 1) != 0;
}

bool TIBXSQLVAR::IsNull() const noexcept
{
    return IsNullVar(*XSqlVar());
}

const char* TIBXSQLVAR::AsPointer() const noexcept
{
    return IsNull() ? nullptr : XSqlVar()->sqldata;
}

std::string TIBXSQLVAR::SqlName() const
{
    return CutName(XSqlVar()->sqlname, XSqlVar()->sqlname_length);
}

std::string TIBXSQLVAR::RelName() const
{
    return CutName(XSqlVar()->relname, XSqlVar()->relname_length);
}

std::string TIBXSQLVAR::AliasName() const
{
    return CutName(XSqlVar()->aliasname, XSqlVar()->aliasname_length);
}

std::string TIBXSQLVAR::AsText() const
{
    if (IsNull())
        return {};
    const char* data = XSqlVar()->sqldata;
    if (!data)
        return {};
    const int length = std::max<int>(XSqlVar()->sqllen, 0);
    switch (SqlType()) {
    case SQL_VARYING: {
        // Never past the buffer, whatever the length word says.
        if (m_data.Size() < 2)
            return {};
        std::size_t n = static_cast<std::uint16_t>(VaxInteger(data, 2));
        n = std::min({n, static_cast<std::size_t>(length), m_data.Size() - 2});
        return std::string(data + 2, n);
    }
    case SQL_TEXT:
        return std::string(data, std::min(static_cast<std::size_t>(length), m_data.Size()));
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
    const char* data = XSqlVar()->sqldata;
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
    const char* data = XSqlVar()->sqldata;
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
    const char* data = XSqlVar()->sqldata;
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
    const char* data = XSqlVar()->sqldata;
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
    if (!m_indicator)
        m_indicator = AllocateZeroed<short>();
    XSqlVar()->sqltype = static_cast<ISC_SHORT>(XSqlVar()->sqltype | 1);
    XSqlVar()->sqlind = m_indicator.get();
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
            const std::size_t keyLength = static_cast<std::size_t>(std::max<int>(v.XSqlVar()->sqllen, 0));
            if (value.size() != keyLength || keyLength > v.m_data.Size())
                InvalidConversion();
            std::memcpy(v.XSqlVar()->sqldata, value.data(), keyLength);
            v.m_modified = true;
            return;
        }
        if (value.size() > limit)
            RaiseClientError(ibxeStringTooLarge, {static_cast<std::int64_t>(value.size()),
                                                  static_cast<std::int64_t>(limit)});
        v.m_data.AllocateZeroed(value.size() + 1);
        std::memcpy(v.m_data.Data(), value.data(), value.size());
        v.XSqlVar()->sqldata = v.m_data.Data();
        v.XSqlVar()->sqltype = static_cast<ISC_SHORT>(SQL_TEXT | (nullable ? 1 : 0));
        v.XSqlVar()->sqllen = static_cast<ISC_SHORT>(value.size());
        if (nullable && !v.m_indicator)
            v.MakeNullable();
        v.m_modified = true;
    });
}

void TIBXSQLVAR::StoreDateTime(double value, bool nullable)
{
    const ISC_TIMESTAMP stamp = FromDateTime(value);
    ForEachSameNamed([&](TIBXSQLVAR& v) {
        v.m_data.AllocateZeroed(sizeof stamp);
        std::memcpy(v.m_data.Data(), &stamp, sizeof stamp);
        v.XSqlVar()->sqldata = v.m_data.Data();
        v.XSqlVar()->sqltype = static_cast<ISC_SHORT>(SQL_TIMESTAMP | (nullable ? 1 : 0));
        v.XSqlVar()->sqllen = static_cast<ISC_SHORT>(sizeof stamp);
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
        StoreDateTime(dateTime, nullable);
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
    if (length > m_data.Size()) {
        // Grown to twice the need, so that a run of longer values reallocates
        // a few times at most.
        m_data.AllocateZeroed(std::max(length, m_data.Size()) * 2);
    }
    std::memcpy(m_data.Data(), data, length);
    XSqlVar()->sqldata = m_data.Data();
    XSqlVar()->sqltype = static_cast<ISC_SHORT>(SQL_TEXT | (XSqlVar()->sqltype & 1));
    XSqlVar()->sqllen = static_cast<ISC_SHORT>(length);
    if (IsNullable() && m_indicator)
        *m_indicator = 0;
    m_modified = true;
}

void TIBXSQLVAR::BindBuffers()
{
    const int type = SqlType();
    const std::size_t length = static_cast<std::size_t>(std::max<int>(XSqlVar()->sqllen, 0));
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
    m_data.AllocateZeroed(std::max<std::size_t>({length, natural, 1}));
    XSqlVar()->sqldata = m_data.Data();
    if (IsNullable()) {
        m_indicator = AllocateZeroed<short>();
        XSqlVar()->sqlind = m_indicator.get();
    } else {
        m_indicator.reset();
        XSqlVar()->sqlind = nullptr;
    }
}

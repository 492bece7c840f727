// One SQL statement on the server (TIBSQL) and its two descriptor areas
// (TIBXSQLDA of TIBXSQLVAR) laid over the client library's XSQLDA.
#pragma once

#include "IB.h"
#include "IBDatabase.h"
// Spelled with its folder: the layer's own headers are not on the include
// path of units outside it, but the buffers below are members here.
#include "internal/IBMemory.h"

#include <Classes.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TIBSQL;
class TIBXSQLDA;

// One entry of a descriptor area. Owned by its area; the XSQLVAR it wraps
// lives inside the area's client structure and is re-pointed whenever that
// structure moves. The data and indicator buffers belong to the variable.
class TIBXSQLVAR {
public:
    TIBXSQLVAR(TIBXSQLDA* parent, TIBSQL* sql, int index);
    TIBXSQLVAR(const TIBXSQLVAR&) = delete;
    TIBXSQLVAR& operator=(const TIBXSQLVAR&) = delete;

    int Index() const noexcept { return m_index; }
    // The registered (normalised) name.
    const std::string& Name() const noexcept { return m_name; }
    // sqllen for the text types 448 and 452 as last bound, else 0.
    int MaxLength() const noexcept { return m_maxLength; }
    // Set by every writer.
    bool Modified() const noexcept { return m_modified; }
    void SetModified(bool value) noexcept { m_modified = value; }

    // The type code without the nullable bit.
    int SqlType() const noexcept;
    int Scale() const noexcept;
    int SubType() const noexcept;
    int Length() const noexcept;
    bool IsNullable() const noexcept;
    // A column that is not nullable is never null, whatever its indicator held.
    bool IsNull() const noexcept;
    // The data buffer (the row's bytes after a fetch); nullptr when null.
    const char* AsPointer() const noexcept;
    // The entry's names, each cut to its recorded length (at most 32 bytes).
    std::string SqlName() const;
    std::string RelName() const;
    std::string AliasName() const;
    // The entry as the client library reads and writes it: an XSQLVAR, for
    // the sources that include IBHeader.h (the name stays opaque elsewhere).
    template <typename Client = TIBClientTypes>
    typename Client::Var* XSqlVar() const noexcept
    {
        return reinterpret_cast<typename Client::Var*>(m_var);
    }

    // The value as text; "" when null. Numbers: integers plain, scaled
    // integers as fixed decimals with at most 4 places and no trailing zeros
    // ("12.5"), below scale -4 and floating types with up to 15 significant
    // digits ("0.1", "1E20", "1.5E-7"). Dates "yyyy/mm/dd", times "hh:nn:ss",
    // timestamps "yyyy/mm/dd hh:nn:ss" (fractions of a second are dropped).
    // An array reads "(Array)". Blobs raise client error 4 (this layer has no
    // blob reader), a quad client error 38.
    std::string AsText() const;
    // AsText without trailing blanks and control characters.
    std::string AsTrimmedText() const;

    // Typed readers: 0 for null; client error 38 for a type (or a text) that
    // does not convert. Integer types apply their scale; results that do not
    // fit raise client error 38 rather than wrap.
    std::int64_t AsCurrency() const;    // in units of 1/10000
    std::int64_t AsInt64() const;       // rounded half away from zero
    std::int32_t AsLong() const;
    double AsDouble() const;
    double AsDateTime() const;          // days since 1899/12/30, time as the fraction

    // Writers for parameters; each acts on every entry of the area registered
    // under this variable's name.
    void AssignText(const std::string& value);
    void AssignNull(bool isNull);
    // The bytes as they stand, as fixed text of their own length, or NULL
    // when data is nullptr. Acts on this entry alone (for areas written by
    // position) and keeps its buffer, growing it only, so that binding row
    // after row allocates nothing. The server converts the text to the
    // parameter's type and refuses a value it cannot take when executing.
    // Client error 119 beyond the longest text an entry describes.
    void AssignBytes(const char* data, std::size_t length);

private:
    friend class TIBXSQLDA;

    // Allocates the buffers for the entry's type (client error 35 for an
    // unknown type code).
    void BindBuffers();
    void MakeNullable();
    void SetIndicator(short value);
    void StoreText(const std::string& value, bool nullable);
    // The value as a timestamp.
    void StoreDateTime(double value, bool nullable);
    // Each same-named entry in turn (this one included).
    template <typename F>
    void ForEachSameNamed(F f);

    TIBXSQLDA* m_parent;    // not owned
    TIBSQL* m_sql;          // not owned
    int m_index;
    std::string m_name;
    int m_maxLength = 0;
    // The type code without the nullable bit as last described; the writers
    // rewrite the entry's own type code.
    int m_describedType = 0;
    bool m_modified = false;
    TIBClientVar* m_var = nullptr;  // inside the parent's client structure
    TByteBlock m_data;
    MallocPtr<short> m_indicator;
};

// A statement's input or output descriptor area. Never shrinks: a later
// statement with fewer entries reuses the client structure and variables.
class TIBXSQLDA {
public:
    explicit TIBXSQLDA(TIBSQL* sql);
    TIBXSQLDA(const TIBXSQLDA&) = delete;
    TIBXSQLDA& operator=(const TIBXSQLDA&) = delete;

    // The number of entries in use.
    int Count() const noexcept { return m_count; }
    // The number of entries allocated.
    int Size() const noexcept { return m_size; }
    // Sets the entries in use and clears the names. Growing reallocates the
    // client structure; 0 keeps it (and its sqln and sqld) as it is.
    void Resize(int count);
    // After a describe call: the shared table name, generated names (only
    // when no names were registered) and buffers by type code.
    void BindBuffers();
    void RegisterName(const std::string& name, int index);
    // The name normalised as RegisterName does; nullptr when absent.
    TIBXSQLVAR* FindByName(const std::string& name) const;
    // Client error 26 outside 0 .. Count - 1.
    TIBXSQLVAR& Item(int index) const
    {
        if (index < 0 || index >= m_count)
            RaiseIndexOutOfRange();
        return *m_vars[static_cast<std::size_t>(index)];
    }
    TIBXSQLVAR& operator[](int index) const { return Item(index); }
    // The table name shared by every entry that names one, or empty.
    const std::string& UniqueRelationName() const noexcept { return m_uniqueRelationName; }
    // The name as registered: trimmed; in dialect 1 upper-cased; otherwise a
    // double-quoted name loses its quotes (doubled quotes inside become one)
    // and any other name is upper-cased.
    std::string NormalizeName(const std::string& name) const;
    const std::vector<std::string>& Names() const noexcept { return m_names; }

    // The client structure (an XSQLDA, for the sources that include
    // IBHeader.h), nullptr while never resized above 0.
    template <typename Client = TIBClientTypes>
    typename Client::Area* AsXSQLDA() const noexcept
    {
        return reinterpret_cast<typename Client::Area*>(m_sqlda.get());
    }

private:
    friend class TIBXSQLVAR;

    [[noreturn]] static void RaiseIndexOutOfRange();

    TIBSQL* m_sql;          // not owned
    int m_count = 0;
    int m_size = 0;
    MallocPtr<TIBClientArea> m_sqlda;
    std::vector<std::unique_ptr<TIBXSQLVAR>> m_vars;
    std::vector<std::string> m_names;
    std::string m_uniqueRelationName;
};

// The server's statement types as isc_info_sql_stmt_type reports them.
enum TIBSQLTypes {
    SQLUnknown, SQLSelect, SQLInsert, SQLUpdate, SQLDelete, SQLDDL, SQLGetSegment, SQLPutSegment,
    SQLExecProcedure, SQLStartTransaction, SQLCommit, SQLRollback, SQLSelectForUpdate, SQLSetGenerator
};

// The dialect descriptor areas normalise names with when the statement has no
// connection.
constexpr int DefaultSQLDialect = 3;

// One SQL statement on the server. Uses a connection and a transaction
// through its link and owns neither: a transaction end closes its cursor, a
// disconnect drops its server statement. Destruction closes and drops,
// swallowing what the server says.
class TIBSQL : public TComponent {
public:
    // The cursor name is fixed here: the name followed by 8 random digits.
    explicit TIBSQL(std::string name = {});
    ~TIBSQL() override;

    // Before every change: OnSQLChanging, then DropStatement when a server
    // statement is held.
    TStringList& SQL() noexcept { return m_sql; }
    const TStringList& SQL() const noexcept { return m_sql; }
    TNotifyEvent OnSQLChanging;
    // The text sent to the server: its lines, each followed by CR LF.
    const std::string& ProcessedText() const noexcept { return m_processedText; }

    bool ParamCheck() const noexcept { return m_paramCheck; }
    void SetParamCheck(bool value) noexcept { m_paramCheck = value; }
    bool GoToFirstRecordOnExecute() const noexcept { return m_goToFirstRecordOnExecute; }
    void SetGoToFirstRecordOnExecute(bool value) noexcept { m_goToFirstRecordOnExecute = value; }
    bool AutoParamNames() const noexcept { return m_autoParamNames; }
    void SetAutoParamNames(bool value) noexcept { m_autoParamNames = value; }
    // With ParamCheck false: the text goes as it stands (colons inside a
    // block body stay), and InputArea gets one entry per "?" marker, in
    // order, as the server describes them, to be written by position; they
    // are named "1", "2", ... in that order.
    bool PositionalParams() const noexcept { return m_positionalParams; }
    void SetPositionalParams(bool value) noexcept { m_positionalParams = value; }

    TIBDatabase* Database() const noexcept { return m_base->Database(); }
    // A different connection drops the server statement first.
    void SetDatabase(TIBDatabase* database);
    TIBTransaction* Transaction() const noexcept { return m_base->Transaction(); }
    // A different transaction closes an open cursor first.
    void SetTransaction(TIBTransaction* transaction);
    TIBBase& Base() noexcept { return *m_base; }
    // The connection's SQLDialect, DefaultSQLDialect without a connection.
    int SQLDialect() const;

    TIBHandle Handle() const noexcept { return m_handle; }
    bool Prepared() const noexcept { return m_prepared; }
    bool Open() const noexcept { return m_open; }
    bool Eof() const noexcept { return m_eof; }
    bool Bof() const noexcept { return m_bof; }
    // Rows fetched since execution.
    int RecordCount() const noexcept { return m_recordCount; }
    int StatementType() const noexcept { return m_statementType; }
    const std::string& CursorName() const noexcept { return m_cursorName; }

    void Prepare();
    void ExecQuery();
    // Runs the prepared statement once more with InputArea as it stands:
    // never prepares, never retries. For statements without a cursor (a
    // select goes through ExecQuery); client error 30 when not prepared.
    // A refused execution raises the server error and leaves the statement
    // prepared for the next values.
    void ExecPrepared();
    // The next row of an open select (OutputArea), nullptr at the end.
    TIBXSQLDA* Fetch();
    bool AtEnd() const noexcept { return m_eof || !m_open; }
    void Close();
    // Close for a path that leaves with an error of its own or cannot raise:
    // what the server says is swallowed.
    void CloseQuietly() noexcept;
    void DropStatement();
    // Rows touched by the last insert, update or delete; -1 when not
    // prepared or for any other statement type.
    int AffectedRows();
    // Client error 46 outside 0 .. OutputArea().Count() - 1.
    TIBXSQLVAR& Column(int index);

    // Prepares first when not prepared.
    TIBXSQLDA& InputArea();
    TIBXSQLDA& OutputArea() noexcept { return m_output; }

    // Statement, then transaction, then connection: the transaction's (or,
    // without one, the connection's) CheckCall when linked; otherwise raises
    // when asked and the status is above 0. Returns the status.
    TIBStatus CheckCall(TIBStatus status, bool raise);

private:
    void SQLChanging();
    void PreprocessParams();
    void ReadStatementType();
    void DescribeAreas();
    void ResetCursor() noexcept;
    // DropStatement when a server statement is held, swallowing what the
    // server says.
    void DropQuietly() noexcept;
    void BeforeTransactionEnd();
    void BeforeDisconnect();

    TStringList m_sql;
    std::string m_processedText;
    bool m_paramCheck = true;
    bool m_goToFirstRecordOnExecute = true;
    bool m_autoParamNames = false;
    bool m_positionalParams = false;
    TIBHandle m_handle = 0;
    bool m_prepared = false;
    bool m_open = false;
    bool m_eof = false;
    bool m_bof = false;
    int m_recordCount = 0;
    int m_statementType = SQLUnknown;
    std::string m_cursorName;
    TIBXSQLDA m_input;
    TIBXSQLDA m_output;
    std::unique_ptr<TIBBase> m_base;
};

// The parameter walk of a statement text (each line followed by CR LF):
// every ":name", ":"quoted name"" and "?" outside literals and /* */
// comments becomes "?", and the names are listed in order of appearance.
// A parameter without a name is named "IBXParam" plus a counter when
// autoParamNames is set; otherwise, and at the end of the text inside a
// comment or literal, client error 55.
struct TProcessedSQL {
    std::string Text;
    std::vector<std::string> Names;
};
TProcessedSQL PreprocessSQL(const std::string& text, bool autoParamNames);

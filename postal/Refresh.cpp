#include "Refresh.h"

#include "DictionaryBuild.h"
#include "RefreshStatements.h"
#include "SourceFile.h"
#include "TableLimits.h"

#include <IBSQL.h>
#include <TextFile.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <vector>

namespace {

const char* const kColumnNames[rsCount] = {"ZIP", "ADK1", "ADK2", "ADK3", "ADR1", "ADR2", "ADR3"};
constexpr int kZipWidth = 7;
constexpr int kMaxBlockContexts = 256;
constexpr std::size_t kBlockRequestBudget = 8u << 20;   // under the server's 10 MiB, with room to spare
constexpr int kVarcharType = 37;                        // RDB$FIELD_TYPE of VARCHAR
constexpr int kCharsetNone = 0;
constexpr int kLockConflict = 335544345;                // the server's "lock conflict on no wait transaction"

// SQL codes of the errors that concern a record's values (a value too long
// or not convertible, a NOT NULL, unique, foreign key or check constraint):
// the server refuses that record and the transaction goes on.
bool RefusesTheRecord(const EIBError& e)
{
    switch (e.SqlErrorCode()) {
    case -303:
    case -802:
    case -413:
    case -625:
    case -803:
    case -530:
    case -297:
        return e.EngineErrorCode() != 0;   // a server's answer, not the layer's
    default:
        return false;
    }
}

// The measuring pass's share of the window, turned into the refresh's progress.
class TMeasureView : public BuildView {
public:
    explicit TMeasureView(RefreshView& view) : m_view(view) {}
    void SetPhaseLine(const std::string&) override {}
    // The pass shows a line every 500th record, after an empty one at its start.
    void SetProgressLine(const std::string& text) override
    {
        if (!text.empty())
            m_view.Progress(rpMeasuring, m_records += 500, 0);
    }
    void ShowMessage(const std::string&) override {}
    bool EscapeDown() override { return false; }
    void EnableBuildButton(bool) override {}

private:
    RefreshView& m_view;
    long m_records = 0;
};

struct TShape {
    bool Exists = false;
    TTableWidths Widths{};
};

std::string WidthList(const TTableWidths& widths)
{
    std::string text;
    for (int k = 0; k < rsCount; ++k)
        text += std::string(k ? ", " : "") + kColumnNames[k] + " " + IntToStr(widths[k]);
    return text;
}

// A transaction on the database with these TPB lines; its end is the caller's.
std::unique_ptr<TIBTransaction> NewTransaction(TIBDatabase& database, std::initializer_list<const char*> params)
{
    auto transaction = std::make_unique<TIBTransaction>();
    transaction->SetDefaultDatabase(&database);
    // A disconnect, forced or not, must not commit half the rows.
    transaction->SetDefaultAction(TARollback);
    for (const char* line : params)
        transaction->Params().Add(line);
    return transaction;
}

std::unique_ptr<TIBSQL> NewStatement(TIBDatabase& database, TIBTransaction& transaction, const std::string& text,
                                     bool positional)
{
    auto sql = std::make_unique<TIBSQL>();
    sql->SetDatabase(&database);
    sql->SetTransaction(&transaction);
    sql->SetParamCheck(false);
    sql->SetPositionalParams(positional);
    sql->SQL().Add(text);
    return sql;
}

void RollbackQuietly(TIBTransaction& transaction) noexcept
{
    try {
        if (transaction.Active())
            transaction.Rollback();
    } catch (...) {
        // The connection is gone: the server drops what the transaction did.
    }
}

// ZIPDIC as the catalogue describes it. ETableShape unless it is a plain
// table of the window's seven columns, in order, VARCHAR in character set
// NONE, not computed and free to hold NULL.
TShape ReadShape(TIBDatabase& database)
{
    auto transaction = NewTransaction(database, {"read", "read_committed", "rec_version", "nowait"});
    transaction->StartTransaction();
    auto sql = NewStatement(
        database, *transaction,
        "SELECT TRIM(RF.RDB$FIELD_NAME), F.RDB$FIELD_TYPE, F.RDB$FIELD_LENGTH, COALESCE(F.RDB$CHARACTER_SET_ID, 0),"
        " CASE WHEN R.RDB$VIEW_BLR IS NULL AND COALESCE(R.RDB$RELATION_TYPE, 0) = 0 AND F.RDB$COMPUTED_BLR IS NULL"
        " AND COALESCE(RF.RDB$NULL_FLAG, 0) = 0 AND COALESCE(F.RDB$NULL_FLAG, 0) = 0 THEN 1 ELSE 0 END"
        " FROM RDB$RELATIONS R"
        " LEFT JOIN RDB$RELATION_FIELDS RF ON RF.RDB$RELATION_NAME = R.RDB$RELATION_NAME"
        " LEFT JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE"
        " WHERE R.RDB$RELATION_NAME = 'ZIPDIC' ORDER BY RF.RDB$FIELD_POSITION",
        false);
    sql->SetGoToFirstRecordOnExecute(false);
    sql->ExecQuery();
    TShape shape;
    std::string differs;
    int column = 0;
    while (TIBXSQLDA* row = sql->Fetch()) {
        shape.Exists = true;
        const std::string name = (*row)[0].AsTrimmedText();
        if (!differs.empty())
            continue;
        if (column >= rsCount)
            differs = "a column " + name + " after ADR3";
        else if (name != kColumnNames[column])
            differs = "column " + IntToStr(column + 1) + " is " + (name.empty() ? "missing" : name) + ", not " +
                      kColumnNames[column];
        else if ((*row)[1].AsLong() != kVarcharType || (*row)[3].AsLong() != kCharsetNone)
            differs = name + " is not VARCHAR in character set NONE";
        else if ((*row)[4].AsLong() != 1)
            differs = name + " is computed, NOT NULL or not in a plain table";
        else
            shape.Widths[static_cast<std::size_t>(column)] = (*row)[2].AsLong();
        ++column;
    }
    sql.reset();
    transaction->Commit();
    if (shape.Exists && differs.empty() && column < rsCount)
        differs = "column " + std::string(kColumnNames[column]) + " is missing";
    if (!differs.empty())
        throw ETableShape("ZIPDIC is not the dictionary's table of seven VARCHAR columns (ZIP, ADK1 to ADR3, "
                          "character set NONE): " + differs + "; nothing changed");
    return shape;
}

// The message of a second refresh: the other one holds the table.
[[noreturn]] void RaiseBusy(const EIBError& e)
{
    throw EIBInterBaseError(e.SqlErrorCode(), e.EngineErrorCode(),
                            "ZIPDIC is being refreshed by another connection; nothing changed (" + e.Message() + ")");
}

// The TPB of the rows' transaction: ZIPDIC reserved so that no other
// transaction writes it while readers go on reading, at once or not at all.
const std::initializer_list<const char*> kReservingParams = {"concurrency", "write", "nowait", "lock_write=ZIPDIC",
                                                             "protected"};

void StartReserving(TIBTransaction& transaction)
{
    try {
        transaction.StartTransaction();
    } catch (const EIBError& e) {
        if (e.EngineErrorCode() == kLockConflict)
            RaiseBusy(e);
        throw;
    }
}

// Creates or widens ZIPDIC to the widths and commits: the server applies
// DDL at the commit, so the rows' transaction can only use it after that.
void ApplyWidths(TIBDatabase& database, const TShape& shape, const TTableWidths& widths, TRefreshReport& report)
{
    std::vector<std::string> statements;
    if (!shape.Exists) {
        TColumnWidths address;
        std::copy(widths.begin() + 1, widths.end(), address.begin());
        TStringList lines;
        CreateLines(address, lines);
        statements.push_back(lines.Text());
        report.TableCreated = true;
    } else {
        for (int k = 0; k < rsCount; ++k)
            if (shape.Widths[static_cast<std::size_t>(k)] < widths[static_cast<std::size_t>(k)]) {
                statements.push_back(std::string("ALTER TABLE ZIPDIC ALTER COLUMN ") + kColumnNames[k] +
                                     " TYPE VARCHAR(" + IntToStr(widths[static_cast<std::size_t>(k)]) + ")");
                report.WidenedColumns.push_back(kColumnNames[k]);
            }
    }
    if (statements.empty())
        return;
    if (shape.Exists) {
        // Another refresh running holds the table: fail before changing it.
        auto probe = NewTransaction(database, kReservingParams);
        StartReserving(*probe);
        probe->Commit();
    }
    auto transaction = NewTransaction(database, {"concurrency", "write", "nowait"});
    transaction->StartTransaction();
    try {
        for (const std::string& text : statements)
            NewStatement(database, *transaction, text, false)->ExecQuery();
        transaction->Commit();
    } catch (...) {
        RollbackQuietly(*transaction);
        report.TableCreated = false;
        report.WidenedColumns.clear();
        throw;
    }
}

void Bind(TIBXSQLDA& input, int first, const TDictionaryRecord& record)
{
    for (int k = 0; k < rsCount; ++k) {
        const std::string& value = record.Slots[static_cast<std::size_t>(k)];
        input[first + k].AssignBytes(value.empty() ? nullptr : value.data(), value.size());
    }
}

// The insert pass: the file's records sent block by block in the rows'
// transaction. A block the server refuses for a record's values is undone by
// the server and sent again row by row, so that only the refused records
// stay out. Any other error leaves for the caller to roll back.
class TInsertPass {
public:
    TInsertPass(TIBDatabase& database, TIBTransaction& transaction, const TTableWidths& widths, long total,
                RefreshView& view, TRefreshReport& report)
        : m_database(database), m_transaction(transaction), m_widths(widths), m_total(total), m_view(view),
          m_report(report), m_rowsPerBlock(RowsPerBlock(widths))
    {
        m_records.resize(static_cast<std::size_t>(m_rowsPerBlock));
        m_lines.resize(static_cast<std::size_t>(m_rowsPerBlock));
    }

    void Run(const std::string& path)
    {
        TSourceFile source;
        source.Open(path);
        try {
            long line = 0;
            int filled = 0;
            while (!source.Eof()) {
                source.ReadLine();
                ++line;
                if (!source.TakeRecord(m_records[static_cast<std::size_t>(filled)]))
                    continue;
                m_lines[static_cast<std::size_t>(filled)] = line;
                if (++filled == m_rowsPerBlock) {
                    SendBlock(filled);
                    filled = 0;
                }
            }
            if (filled > 0)
                SendBlock(filled);
            source.Close();
        } catch (...) {
            source.CloseQuietly();
            throw;
        }
    }

private:
    TIBSQL& Block(int rows)
    {
        std::unique_ptr<TIBSQL>& block = rows == m_rowsPerBlock ? m_fullBlock : m_lastBlock;
        if (!block) {
            block = NewStatement(m_database, m_transaction, BlockText(m_widths, rows), true);
            block->Prepare();
        }
        return *block;
    }

    void SendBlock(int rows)
    {
        TIBSQL& block = Block(rows);
        TIBXSQLDA& input = block.InputArea();
        for (int r = 0; r < rows; ++r)
            Bind(input, r * rsCount, m_records[static_cast<std::size_t>(r)]);
        try {
            block.ExecPrepared();
            m_report.Inserted += rows;
        } catch (const EIBError& e) {
            if (!RefusesTheRecord(e) || !m_database.Connected())
                throw;
            SendRowByRow(rows);
        }
        m_done += rows;
        m_view.Progress(rpStoring, m_done, m_total);
    }

    void SendRowByRow(int rows)
    {
        if (!m_row) {
            m_row = NewStatement(m_database, m_transaction, RowInsertText(), true);
            m_row->Prepare();
        }
        TIBXSQLDA& input = m_row->InputArea();
        for (int r = 0; r < rows; ++r) {
            Bind(input, 0, m_records[static_cast<std::size_t>(r)]);
            try {
                m_row->ExecPrepared();
                ++m_report.Inserted;
            } catch (const EIBError& e) {
                if (!RefusesTheRecord(e) || !m_database.Connected())
                    throw;
                m_report.Refused.push_back({m_lines[static_cast<std::size_t>(r)], e.Message()});
            }
        }
    }

    TIBDatabase& m_database;         // not owned
    TIBTransaction& m_transaction;   // not owned
    const TTableWidths m_widths;
    const long m_total;
    RefreshView& m_view;
    TRefreshReport& m_report;
    const int m_rowsPerBlock;
    std::vector<TDictionaryRecord> m_records;   // the block being filled, reused
    std::vector<long> m_lines;
    long m_done = 0;
    std::unique_ptr<TIBSQL> m_fullBlock;
    std::unique_ptr<TIBSQL> m_lastBlock;
    std::unique_ptr<TIBSQL> m_row;
};

} // namespace

TTableWidths TableWidths(const TColumnWidths& widths)
{
    TTableWidths table{};
    table[rsZip] = kZipWidth;
    std::copy(widths.begin(), widths.end(), table.begin() + 1);
    return table;
}

int RowsPerBlock(const TTableWidths& widths)
{
    // A VARCHAR parameter takes its width, its length word and its NULL
    // flag, aligned; 8 bytes each covers all three.
    std::size_t row = 0;
    for (int width : widths)
        row += static_cast<std::size_t>(std::max(width, 0)) + 8;
    const std::size_t rows = kBlockRequestBudget / row;
    return static_cast<int>(std::clamp<std::size_t>(rows, 1, kMaxBlockContexts));
}

std::string BlockText(const TTableWidths& widths, int rows)
{
    // Parameter names: a letter per column and the row's number in the block.
    std::string text = "EXECUTE BLOCK (";
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < rsCount; ++k) {
            if (r || k)
                text += ",";
            text += static_cast<char>('A' + k) + IntToStr(r) + " VARCHAR(" +
                    IntToStr(widths[static_cast<std::size_t>(k)]) + ") CHARACTER SET NONE = ?";
        }
    text += ")\r\nAS BEGIN\r\n";
    for (int r = 0; r < rows; ++r) {
        text += "INSERT INTO ZIPDIC (ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3) VALUES (";
        for (int k = 0; k < rsCount; ++k)
            text += std::string(k ? ", :" : ":") + static_cast<char>('A' + k) + IntToStr(r);
        text += ");\r\n";
    }
    text += "END";
    return text;
}

std::string RowInsertText()
{
    return "INSERT INTO ZIPDIC (ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3) VALUES (?, ?, ?, ?, ?, ?, ?)";
}

TDictionaryRefresh::TDictionaryRefresh(TIBDatabase& database) : m_database(database) {}

TRefreshReport TDictionaryRefresh::Run(const std::string& path, RefreshView& view)
{
    TRefreshReport report;

    // What the file needs, before anything in the database is touched.
    TColumnWidths measured{};
    int records = 0;
    {
        TMeasureView measureView(view);
        std::exception_ptr readError;
        try {
            MeasurePass(path, measured, records, measureView, &readError);
            if (readError)
                std::rethrow_exception(readError);
        } catch (const EInOutError& e) {
            throw ESourceUnusable("cannot read " + path + ": " + e.Message() + "; nothing changed");
        }
    }
    report.Records = records;
    if (records == 0)
        throw ESourceUnusable(path + ": no line gives a record; nothing changed");
    for (int k = 0; k < static_cast<int>(measured.size()); ++k)
        if (measured[static_cast<std::size_t>(k)] == 0)
            throw ESourceUnusable(path + ": column " + kColumnNames[k + 1] + " is empty in every record; nothing changed");

    const TShape shape = ReadShape(m_database);
    TTableWidths widths = TableWidths(measured);
    if (shape.Exists)
        for (std::size_t k = 0; k < widths.size(); ++k)
            widths[k] = std::max(widths[k], shape.Widths[k]);   // never narrower
    TColumnWidths address;
    std::copy(widths.begin() + 1, widths.end(), address.begin());
    if (!TableFits(address))
        throw ESourceUnusable(path + ": a ZIPDIC of " + WidthList(widths) +
                              " is wider than the server takes; nothing changed");

    ApplyWidths(m_database, shape, widths, report);

    // The rows: all replaced in one transaction, or none.
    auto transaction = NewTransaction(m_database, kReservingParams);
    StartReserving(*transaction);
    try {
        {
            auto remove = NewStatement(m_database, *transaction, "DELETE FROM ZIPDIC", false);
            remove->ExecQuery();
            report.RowsBefore = std::max(remove->AffectedRows(), 0);
        }
        TInsertPass(m_database, *transaction, widths, report.Records, view, report).Run(path);
        transaction->Commit();
    } catch (const EInOutError& e) {
        RollbackQuietly(*transaction);
        throw ESourceUnusable("cannot read " + path + ": " + e.Message() + "; the rows of ZIPDIC are as they were");
    } catch (...) {
        RollbackQuietly(*transaction);
        throw;
    }
    report.RowsAfter = report.Inserted;
    return report;
}

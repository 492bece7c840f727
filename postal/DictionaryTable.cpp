#include "DictionaryTable.h"

#include "DictionaryBuild.h"
#include "SourceFile.h"

#include <StopRequest.h>
#include <SysUtils.h>

#include <algorithm>

const char* const kColumnNames[rsCount] = {"ZIP", "ADK1", "ADK2", "ADK3", "ADR1", "ADR2", "ADR3"};
const std::initializer_list<const char*> kReservingParams = {"concurrency", "write", "nowait", "lock_write=ZIPDIC",
                                                             "protected"};

namespace {

constexpr int kVarcharType = 37;                        // RDB$FIELD_TYPE of VARCHAR
constexpr int kCharsetNone = 0;
constexpr int kLockConflict = 335544345;                // the server's "lock conflict on no wait transaction"

// The message of a second refresh: the other one holds the table.
[[noreturn]] void RaiseBusy(const EIBError& e)
{
    throw EIBInterBaseError(e.SqlErrorCode(), e.EngineErrorCode(),
                            "ZIPDIC is being refreshed by another connection; nothing changed (" + e.Message() + ")");
}

} // namespace

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

void CommitUnlessStopped(TIBTransaction& transaction)
{
    const TStopSignalsHeld held;
    ThrowIfStopRequested();
    transaction.Commit();
}

void TTransactionGuard::Commit()
{
    CommitUnlessStopped(*m_transaction);
    Release();
}

void TTransactionGuard::Rollback() noexcept
{
    RollbackQuietly(*m_transaction);
    Release();
}

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
        TTransactionGuard guard(*transaction);
        for (const std::string& text : statements)
            NewStatement(database, *transaction, text, false)->ExecQuery();
        guard.Commit();
    } catch (...) {
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

TInsertPass::TInsertPass(TIBDatabase& database, TIBTransaction& transaction, const TTableWidths& widths, long total,
                         RefreshView& view, TRefreshReport& report, int rowsPerBlock)
    : m_database(database), m_transaction(transaction), m_widths(widths), m_total(total), m_view(view),
      m_report(report),
      m_rowsPerBlock(rowsPerBlock > 0 ? std::min(rowsPerBlock, RowsPerBlock(widths)) : RowsPerBlock(widths))
{
    m_records.resize(static_cast<std::size_t>(m_rowsPerBlock));
    m_lines.resize(static_cast<std::size_t>(m_rowsPerBlock));
}

void TInsertPass::Run(TSourceFile& source)
{
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
}

void TInsertPass::Run(const std::vector<TDictionaryRecord>& records, const std::vector<long>& lines)
{
    int filled = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        m_records[static_cast<std::size_t>(filled)] = records[i];
        m_lines[static_cast<std::size_t>(filled)] = lines[i];
        if (++filled == m_rowsPerBlock) {
            SendBlock(filled);
            filled = 0;
        }
    }
    if (filled > 0)
        SendBlock(filled);
}

TIBSQL& TInsertPass::Block(int rows)
{
    std::unique_ptr<TIBSQL>& block = rows == m_rowsPerBlock ? m_fullBlock : m_lastBlock;
    if (!block) {
        block = NewStatement(m_database, m_transaction, BlockText(m_widths, rows), true);
        block->Prepare();
    }
    return *block;
}

void TInsertPass::SendBlock(int rows)
{
    ThrowIfStopRequested();
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

void TInsertPass::SendRowByRow(int rows)
{
    if (!m_row) {
        m_row = NewStatement(m_database, m_transaction, RowInsertText(), true);
        m_row->Prepare();
    }
    TIBXSQLDA& input = m_row->InputArea();
    for (int r = 0; r < rows; ++r) {
        ThrowIfStopRequested();
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

bool RecordFits(const TDictionaryRecord& record, const TTableWidths& widths)
{
    for (std::size_t k = 0; k < widths.size(); ++k)
        if (record.Slots[k].size() > static_cast<std::size_t>(widths[k]))
            return false;
    return true;
}

long CountDictionaryRows(TIBDatabase& database, TIBTransaction& transaction)
{
    auto sql = NewStatement(database, transaction, "SELECT COUNT(*) FROM ZIPDIC", false);
    sql->ExecQuery();
    const long count = static_cast<long>(sql->Column(0).AsInt64());
    sql->Close();
    return count;
}

#include "DictionaryTable.h"

#include <IgnoreFailure.h>
#include <StopRequest.h>

#include <algorithm>

namespace {

constexpr int kVarcharType = 37;                        // RDB$FIELD_TYPE of VARCHAR
constexpr int kSmallintType = 7;                        // and of SMALLINT
constexpr int kCharsetNone = 0;
constexpr int kLockConflict = 335544345;                // the server's "lock conflict on no wait transaction"

// The message of a second refresh: the other one holds the table.
[[noreturn]] void RaiseBusy(const TTableDescription& table, const EIBError& e)
{
    throw EIBInterBaseError(e.SqlErrorCode(), e.EngineErrorCode(),
                            std::string(table.Name) + " is being refreshed by another connection; nothing changed (" +
                                e.Message() + ")");
}

// "ZIP, ADK1, ... VARCHAR in character set NONE", then the SMALLINT ones.
std::string ShapeList(const TTableDescription& table)
{
    std::string text;
    for (const TColumnKind kind : {ckText, ckSmallint}) {
        std::string names;
        for (const TColumnDescription& column : table.Columns)
            if (column.Kind == kind)
                names += std::string(names.empty() ? "" : ", ") + column.Name;
        if (!names.empty())
            text += (text.empty() ? "" : "; ") + names + (kind == ckText ? " VARCHAR in character set NONE" : " SMALLINT");
    }
    return text;
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

std::unique_ptr<TIBTransaction> NewTransaction(TIBDatabase& database, const std::vector<std::string>& params)
{
    auto transaction = std::make_unique<TIBTransaction>();
    transaction->SetDefaultDatabase(&database);
    // A disconnect, forced or not, must not commit half the rows.
    transaction->SetDefaultAction(TARollback);
    for (const std::string& line : params)
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
    IgnoreFailure("the connection is gone: the server drops what the transaction did", [&transaction] {
        if (transaction.Active())
            transaction.Rollback();
    });
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

TShape ReadShape(TIBDatabase& database, const TTableDescription& table)
{
    auto transaction = NewTransaction(database, {"read", "read_committed", "rec_version", "nowait"});
    transaction->StartTransaction();
    auto sql = NewStatement(database, *transaction, ShapeText(table), false);
    sql->SetGoToFirstRecordOnExecute(false);
    sql->ExecQuery();
    const int count = table.ColumnCount();
    TShape shape;
    shape.Widths.assign(table.Columns.size(), 0);
    std::string differs;
    int column = 0;
    while (TIBXSQLDA* row = sql->Fetch()) {
        shape.Exists = true;
        const std::string name = (*row)[0].AsTrimmedText();
        if (!differs.empty())
            continue;
        if (column >= count) {
            differs = "a column " + name + " after " + table.Columns.back().Name;
        } else {
            const TColumnDescription& wanted = table.Columns[static_cast<std::size_t>(column)];
            if (name != wanted.Name)
                differs = "column " + IntToStr(column + 1) + " is " + (name.empty() ? "missing" : name) + ", not " +
                          wanted.Name;
            else if (wanted.Kind == ckText &&
                     ((*row)[1].AsLong() != kVarcharType || (*row)[3].AsLong() != kCharsetNone))
                differs = name + " is not VARCHAR in character set NONE";
            else if (wanted.Kind == ckSmallint && (*row)[1].AsLong() != kSmallintType)
                differs = name + " is not SMALLINT";
            else if ((*row)[4].AsLong() != 1)
                differs = name + " is computed, NOT NULL, scaled or not in a plain table";
            else if (wanted.Kind == ckText)
                shape.Widths[static_cast<std::size_t>(column)] = (*row)[2].AsLong();
        }
        ++column;
    }
    sql.reset();
    transaction->Commit();
    if (shape.Exists && differs.empty() && column < count)
        differs = "column " + std::string(table.Columns[static_cast<std::size_t>(column)].Name) + " is missing";
    if (!differs.empty())
        throw ETableShape(std::string(table.Name) + " is not the dictionary's table of " + IntToStr(count) +
                          " columns (" + ShapeList(table) + "): " + differs + "; nothing changed");
    return shape;
}

void StartReserving(TIBTransaction& transaction, const TTableDescription& table)
{
    try {
        transaction.StartTransaction();
    } catch (const EIBError& e) {
        if (e.EngineErrorCode() == kLockConflict)
            RaiseBusy(table, e);
        throw;
    }
}

TWidening ApplyWidths(TIBDatabase& database, const TTableDescription& table, const TShape& shape,
                      const TTableWidths& widths)
{
    TWidening widening;
    std::vector<std::string> statements;
    if (!shape.Exists) {
        statements.push_back(CreateText(table, widths));
        widening.Created = true;
    } else {
        for (int k = 0; k < table.ColumnCount(); ++k)
            if (shape.Widths[static_cast<std::size_t>(k)] < widths[static_cast<std::size_t>(k)]) {
                statements.push_back(WidenText(table, k, widths[static_cast<std::size_t>(k)]));
                widening.Widened.push_back(table.Columns[static_cast<std::size_t>(k)].Name);
            }
    }
    if (statements.empty())
        return widening;
    if (shape.Exists) {
        // Another refresh running holds the table: fail before changing it.
        auto probe = NewTransaction(database, ReservingParams(table));
        StartReserving(*probe, table);
        probe->Commit();
    }
    auto transaction = NewTransaction(database, {"concurrency", "write", "nowait"});
    transaction->StartTransaction();
    TTransactionGuard guard(*transaction);
    for (const std::string& text : statements)
        NewStatement(database, *transaction, text, false)->ExecQuery();
    guard.Commit();
    return widening;
}

void Bind(TIBXSQLDA& input, int first, const TTableRow& row)
{
    for (std::size_t k = 0; k < row.size(); ++k) {
        const std::string& value = row[k];
        input[first + static_cast<int>(k)].AssignBytes(value.empty() ? nullptr : value.data(), value.size());
    }
}

TInsertPass::TInsertPass(TIBDatabase& database, TIBTransaction& transaction, const TTableDescription& table,
                         const TTableWidths& widths, long total, RefreshView& view, TInsertCounts& counts,
                         int rowsPerBlock)
    : m_database(database), m_transaction(transaction), m_table(table), m_widths(widths), m_total(total),
      m_view(view), m_counts(counts),
      m_rowsPerBlock(rowsPerBlock > 0 ? std::min(rowsPerBlock, RowsPerBlock(table, widths))
                                      : RowsPerBlock(table, widths))
{
    m_rows.resize(static_cast<std::size_t>(m_rowsPerBlock));
    m_lines.resize(static_cast<std::size_t>(m_rowsPerBlock));
}

void TInsertPass::Run(TSourceFile& source)
{
    long line = 0;
    int filled = 0;
    while (!source.Eof()) {
        source.ReadLine();
        ++line;
        source.TakeRow(m_rows[static_cast<std::size_t>(filled)]);
        m_lines[static_cast<std::size_t>(filled)] = line;
        if (++filled == m_rowsPerBlock) {
            SendBlock(m_rows.data(), m_lines.data(), filled);
            filled = 0;
        }
    }
    if (filled > 0)
        SendBlock(m_rows.data(), m_lines.data(), filled);
}

void TInsertPass::Run(const std::vector<TTableRow>& rows, const std::vector<long>& lines)
{
    // Sent from where they are: no copy of a block's rows.
    for (std::size_t from = 0; from < rows.size(); from += static_cast<std::size_t>(m_rowsPerBlock)) {
        const std::size_t count = std::min(rows.size() - from, static_cast<std::size_t>(m_rowsPerBlock));
        SendBlock(&rows[from], &lines[from], static_cast<int>(count));
    }
}

TIBSQL& TInsertPass::Block(int rows)
{
    std::unique_ptr<TIBSQL>& block = rows == m_rowsPerBlock ? m_fullBlock : m_lastBlock;
    if (!block) {
        block = NewStatement(m_database, m_transaction, BlockText(m_table, m_widths, rows), true);
        block->Prepare();
    }
    return *block;
}

void TInsertPass::SendBlock(const TTableRow* rows, const long* lines, int count)
{
    ThrowIfStopRequested();
    TIBSQL& block = Block(count);
    TIBXSQLDA& input = block.InputArea();
    for (int r = 0; r < count; ++r)
        Bind(input, r * m_table.ColumnCount(), rows[r]);
    try {
        block.ExecPrepared();
        m_counts.Inserted += count;
    } catch (const EIBError& e) {
        if (!RefusesTheRecord(e) || !m_database.Connected())
            throw;
        SendRowByRow(rows, lines, count);
    }
    m_done += count;
    m_view.Progress(rpStoring, m_done, m_total);
}

void TInsertPass::SendRowByRow(const TTableRow* rows, const long* lines, int count)
{
    if (!m_row) {
        m_row = NewStatement(m_database, m_transaction, RowInsertText(m_table), true);
        m_row->Prepare();
    }
    TIBXSQLDA& input = m_row->InputArea();
    for (int r = 0; r < count; ++r) {
        ThrowIfStopRequested();
        Bind(input, 0, rows[r]);
        try {
            m_row->ExecPrepared();
            ++m_counts.Inserted;
        } catch (const EIBError& e) {
            if (!RefusesTheRecord(e) || !m_database.Connected())
                throw;
            m_counts.Refused.push_back({lines[r], e.Message()});
        }
    }
}

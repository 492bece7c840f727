// The query component: SQL lines, their parameters, preparing, and running a
// statement without result rows.
#pragma once

#include "IBCustomDataSet.h"

#include <Classes.h>

#include <string>

class TIBQuery : public TIBCustomDataSet {
public:
    explicit TIBQuery(std::string name = {});
    // Closes and unprepares, swallowing what the server says.
    ~TIBQuery() override;

    // Every change (each Add, each Clear of a non-empty list) closes and
    // unprepares the query, derives QueryText and, with ParamCheck, Params,
    // and copies the lines into the select statement.
    TStringList& SQL() noexcept { return m_sql; }
    // Nothing when the text is the same; otherwise the new lines arrive as
    // one change.
    void SetSQL(const TStringList& lines);
    bool ParamCheck() const noexcept { return m_paramCheck; }
    void SetParamCheck(bool value) noexcept { m_paramCheck = value; }
    // Names given to parameters without one when the text is prepared.
    bool AutoParamNames() const noexcept { return m_autoParamNames; }
    void SetAutoParamNames(bool value) noexcept { m_autoParamNames = value; }
    TParams& Params() noexcept { return m_params; }
    // The text derived from SQL: with ParamCheck each parameter is "?";
    // without, the SQL text itself.
    const std::string& QueryText() const;

    bool IsPrepared() const noexcept { return m_isPrepared; }
    // Client error 33 while open; client error 65 for a query text shorter
    // than 2 characters.
    void SetPrepared(bool value);
    void Prepare() { SetPrepared(true); }
    void Unprepare() { SetPrepared(false); }
    // Runs a statement that returns no rows. The framework's "open" error
    // while open; client error 65 without SQL lines, 66 for a select.
    void Execute();
    // Rows touched by the last insert, update or delete while the statement
    // is prepared; afterwards the count recorded when it was unprepared.
    int RowsAffected();

protected:
    void PrepareForOpen() override;

private:
    void QueryChanged();
    void CopyLinesToSelect();
    std::size_t QueryTextLength() const;
    void SetParamsToInputArea();
    void ExecuteStatement();

    TStringList m_sql;
    TParams m_params;
    // Without ParamCheck the query text is the SQL text, built when read.
    mutable std::string m_queryText;
    bool m_queryTextIsSqlText = false;
    mutable bool m_queryTextBuilt = true;
    bool m_autoParamNames = false;
    bool m_isPrepared = false;
    int m_rowsAffected = -1;
    bool m_recordRowsAffected = false;
};

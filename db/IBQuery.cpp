#include "IBQuery.h"

#include "IB.h"

#include <IgnoreFailure.h>

#include <algorithm>

TIBQuery::TIBQuery(std::string name) : TIBCustomDataSet(std::move(name))
{
    m_sql.OnChange = [this] { QueryChanged(); };
}

TIBQuery::~TIBQuery()
{
    m_sql.OnChange = nullptr;
    IgnoreFailure("destruction cannot report; a failing close has freed the rows and the fields all the same",
                  [this] { Close(); });
    IgnoreFailure("destruction cannot report; the statement goes with the select's own destruction",
                  [this] { Unprepare(); });
}

void TIBQuery::SetSQL(const TStringList& lines)
{
    if (m_sql.Text() == lines.Text())
        return;
    Close();
    Unprepare();
    m_sql.Assign(lines);
}

void TIBQuery::QueryChanged()
{
    Close();
    Unprepare();
    if (m_paramCheck) {
        TParams params;
        m_queryText = params.ParseSQL(m_sql.Text(), true);
        params.AssignValues(m_params);
        m_params.Swap(params);
        m_queryTextIsSqlText = false;
        m_queryTextBuilt = true;
    } else {
        m_queryTextIsSqlText = true;
        m_queryTextBuilt = false;
    }
    DataEvent(dePropertyChange, 0);
    CopyLinesToSelect();
}

// A change that only appended a line (the search's text: its one line added
// after a Clear) is passed on as that one addition, which the select
// statement sees as one change, as it would see a whole copy; any other
// change (the build's statements are assigned whole) is copied whole.
void TIBQuery::CopyLinesToSelect()
{
    TStringList& target = SelectSQL().SQL();
    const std::vector<std::string>& from = m_sql.Lines();
    const std::vector<std::string>& to = target.Lines();
    if (from.size() == to.size() + 1 && std::equal(to.begin(), to.end(), from.begin()))
        target.Add(from.back());
    else
        target.Assign(m_sql);
}

const std::string& TIBQuery::QueryText() const
{
    if (!m_queryTextBuilt) {
        m_queryText = m_sql.Text();
        m_queryTextBuilt = true;
    }
    return m_queryText;
}

std::size_t TIBQuery::QueryTextLength() const
{
    if (m_queryTextIsSqlText && !m_queryTextBuilt) {
        std::size_t length = 0;
        for (const std::string& line : m_sql.Lines())
            length += line.size() + 2;
        return length;
    }
    return m_queryText.size();
}

void TIBQuery::SetPrepared(bool value)
{
    if (Active())
        RaiseClientError(ibxeDatasetOpen);
    if (value == m_isPrepared)
        return;
    if (value) {
        m_rowsAffected = -1;
        m_recordRowsAffected = true;
        if (QueryTextLength() < 2)
            RaiseClientError(ibxeEmptySQLStatement);
        SelectSQL().SetAutoParamNames(m_autoParamNames);
        PrepareStatements();
        m_isPrepared = true;
    } else {
        if (m_recordRowsAffected)
            m_rowsAffected = SelectSQL().AffectedRows();
        UnprepareStatements();
        m_isPrepared = false;
    }
}

int TIBQuery::RowsAffected()
{
    if (SelectSQL().Prepared())
        return SelectSQL().AffectedRows();
    return m_rowsAffected;
}

void TIBQuery::SetParamsToInputArea()
{
    if (m_params.Count() == 0)
        return;
    if (!InternalPrepared())
        PrepareStatements();
    TIBXSQLDA& input = SelectSQL().InputArea();
    for (int i = 0; i < m_params.Count(); ++i) {
        const TParam& param = m_params.Items(i);
        TIBXSQLVAR* var = input.FindByName(param.Name());
        if (!var)
            continue;
        if (param.IsNull())
            var->AssignNull(true);
        else
            var->AssignText(param.AsString());
    }
}

void TIBQuery::PrepareForOpen()
{
    SelectSQL().SetAutoParamNames(m_autoParamNames);
    Prepare();
    SetParamsToInputArea();
}

void TIBQuery::ExecuteStatement()
{
    EnsureConnection();
    InEnsuredTransaction([&] {
        if (SelectSQL().SQL().Empty())
            RaiseClientError(ibxeEmptyQuery);
        if (!InternalPrepared())
            PrepareStatements();
        if (SelectSQL().StatementType() == SQLSelect)
            RaiseClientError(ibxeIsASelectStatement);
        SelectSQL().ExecQuery();
    });
}

void TIBQuery::Execute()
{
    CheckInactive();
    if (m_sql.Empty()) {
        m_recordRowsAffected = false;
        RaiseClientError(ibxeEmptySQLStatement);
    }
    EnsureConnection();
    try {
        InEnsuredTransaction([&] {
            Prepare();
            SetParamsToInputArea();
            ExecuteStatement();
        });
    } catch (...) {
        m_recordRowsAffected = true;
        throw;
    }
    m_recordRowsAffected = true;
}

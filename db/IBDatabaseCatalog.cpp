// What the connection reads from the server's catalogue for itself: the
// table-name listing and the schema cache. Both run on the connection's
// internal transaction, so neither touches the window's transactions.
#include "IBDatabase.h"

#include "IBSQL.h"

#include <FirstError.h>
#include <ScopeExit.h>
#include <SysUtils.h>

namespace {

const char* const kUserTablesSQL =
    "Select RDB$RELATION_NAME from RDB$RELATIONS  where RDB$VIEW_BLR is NULL and RDB$SYSTEM_FLAG = 0 "
    "ORDER BY RDB$RELATION_NAME";
const char* const kAllTablesSQL =
    "Select RDB$RELATION_NAME from RDB$RELATIONS  where RDB$VIEW_BLR is NULL ORDER BY RDB$RELATION_NAME";

// One row per column of the table whose domain is computed or has a
// default. A default declared on the column itself lives in
// RDB$RELATION_FIELDS and is not seen here; the answers only matter for
// editing rows, which nothing in this system does, so the query stays as
// the other applications on this database know it.
const char* const kSchemaSQL =
    "Select F.RDB$COMPUTED_BLR, F.RDB$DEFAULT_VALUE, R.RDB$FIELD_NAME from RDB$RELATION_FIELDS R, RDB$FIELDS F "
    "where R.RDB$RELATION_NAME = :RELATION and R.RDB$FIELD_SOURCE = F.RDB$FIELD_NAME and "
    "((not F.RDB$COMPUTED_BLR is NULL) or      (not F.RDB$DEFAULT_VALUE is NULL)) ";

} // namespace

// ---------------------------------------------------------------- listing

void TIBDatabase::ListTableNames(TStringList& list, bool includeSystemTables)
{
    if (!Connected())
        Open();
    TIBTransaction& transaction = *m_internalTransaction;
    if (!transaction.Active())
        transaction.StartTransaction();
    // The statement is freed and the internal transaction committed on every
    // path; the first error is the one that leaves.
    TFirstError failure;
    failure.Run([&] {
        TIBSQL sql;
        sql.SetGoToFirstRecordOnExecute(false);
        sql.SetDatabase(this);
        sql.SetTransaction(&transaction);
        sql.SQL().Add(includeSystemTables ? kAllTablesSQL : kUserTablesSQL);
        sql.Prepare();
        sql.ExecQuery();
        list.BeginUpdate();
        const TScopeExit endUpdate([&list] { list.EndUpdate(); });
        list.Clear();
        while (!sql.Eof() && sql.Fetch())
            list.Add(TrimRight(sql.Column(0).AsText()));   // the fixed-width name ends in blanks
    });
    failure.Run([&transaction] { transaction.Commit(); });
    failure.Rethrow();
}

// ---------------------------------------------------------------- TSchema

TSchema::TSchema(TIBDatabase* database) : m_database(database), m_sql(std::make_unique<TIBSQL>())
{
    m_sql->SetGoToFirstRecordOnExecute(true);
    m_sql->SetDatabase(database);
    m_sql->SetTransaction(database->InternalTransaction());
    m_sql->SQL().Add(kSchemaSQL);
}

TSchema::~TSchema() = default;

bool TSchema::IsComputed(const std::string& relation, const std::string& field)
{
    const TFieldNode* node = Find(relation, field);
    return node && node->Computed;
}

bool TSchema::HasDefault(const std::string& relation, const std::string& field)
{
    const TFieldNode* node = Find(relation, field);
    return node && node->HasDefault;
}

const TFieldNode* TSchema::Find(const std::string& relation, const std::string& field)
{
    std::size_t index = 0;
    while (index < m_relations.size() && m_relations[index].Name != relation)
        ++index;
    if (index == m_relations.size()) {
        // Entered before the query: a query that fails leaves the table
        // cached as having no such columns, and it is not asked again.
        m_relations.push_back({relation, {}});
        ReadRelation(m_relations.back());
    }
    for (const TFieldNode& node : m_relations[index].Fields)
        if (node.FieldName == field)
            return &node;
    return nullptr;
}

void TSchema::ReadRelation(TRelation& relation)
{
    TIBTransaction& transaction = *m_database->InternalTransaction();
    const bool started = !transaction.Active();
    if (started)
        transaction.StartTransaction();
    // On an error the internal transaction stays as it is; the next listing
    // or catalogue query uses it and commits it.
    m_sql->InputArea().Item(0).AssignText(relation.Name);
    m_sql->ExecQuery();
    while (!m_sql->AtEnd()) {
        TFieldNode node;
        node.FieldName = Trim(m_sql->Column(2).AsText());
        node.HasDefault = !m_sql->Column(1).IsNull();
        node.Computed = !m_sql->Column(0).IsNull();
        relation.Fields.push_back(std::move(node));
        m_sql->Fetch();
    }
    m_sql->Close();
    if (started)
        transaction.Commit();
}

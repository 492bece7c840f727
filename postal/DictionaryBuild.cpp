#include "DictionaryBuild.h"

#include "SourceFile.h"
#include "TableLimits.h"

#include <ScopeExit.h>
#include <StopRequest.h>
#include <SysUtils.h>
#include <TextFile.h>

#include <algorithm>
#include <exception>

namespace {

const std::string SourceMissing = "\x97X\x95\xD6\x94\xD4\x8D\x86\x83\x66\x81[\x83^\x81uKEN_ALL.CSV\x81v\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1";   // 郵便番号データ「KEN_ALL.CSV」が見つかりません
const std::string DropFailed = "\x97X\x95\xD6\x94\xD4\x8D\x86\x8E\xAB\x8F\x91\x83\x65\x81[\x83u\x83\x8B\x82\xAA\x8D\xED\x8F\x9C\x8Fo\x97\x88\x82\xDC\x82\xB9\x82\xF1\x81\x42"   // 郵便番号辞書テーブルが削除出来ません。
                               "\r\n"
                               "\x91\xBC\x83\x5C\x83t\x83g\x82\xC5\x97\x98\x97p\x82\xB5\x82\xC4\x82\xA2\x82\xC8\x82\xA2\x82\xA9\x8Am\x94\x46\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2\x81\x42";   // 他ソフトで利用していないか確認して下さい。
const std::string CreateFailed = "\x97X\x95\xD6\x94\xD4\x8D\x86\x8E\xAB\x8F\x91\x83\x65\x81[\x83u\x83\x8B\x82\xAA\x90V\x8BK\x8D\xEC\x90\xAC\x8Fo\x97\x88\x82\xDC\x82\xB9\x82\xF1\x81\x42";   // 郵便番号辞書テーブルが新規作成出来ません。
const std::string Dropping = "\x8C\xBB\x8D\xDD\x83\x65\x81[\x83u\x83\x8B\x8D\xED\x8F\x9C\x92\x86";   // 現在テーブル削除中
const std::string Creating = "\x90V\x8BK\x83\x65\x81[\x83u\x83\x8B\x8D\xEC\x90\xAC\x92\x86";          // 新規テーブル作成中
const std::string Inserting = "\x83\x66\x81[\x83^\x93o\x98^\x92\x86";                                 // データ登録中
const std::string InsertingPrefix = "\x93o\x98^\x92\x86\x81\x46";                                     // 登録中：
const std::string Finished = "\x83\x66\x81[\x83^\x93o\x98^\x8A\xAE\x97\xB9";                          // データ登録完了
const std::string FinishedPrefix = "\x8A\xAE\x97\xB9\x81\x46";                                        // 完了：
const std::string Solidus = "\x81^";                                                                 // ／
const std::string ChangedWhileRead = "\x82\xCD\x93\xC7\x8E\xE6\x92\x86\x82\xC9\x95\xCF\x8D\x58\x82\xB3\x82\xEA\x82\xDC\x82\xB5\x82\xBD";   // は読取中に変更されました

constexpr int ProgressEvery = 500;

// The slot as a quoted literal, or NULL for an empty slot.
void AppendQuoted(std::string& out, const std::string& slot)
{
    if (slot.empty())
        out += "NULL";
    else
        AppendQuotedStr(out, slot);
}

// The endings before the insert pass leave no text of the measuring pass
// behind.
void ClearStatusLines(BuildView& view)
{
    view.SetProgressLine({});
    view.SetPhaseLine({});
}

std::string Counts(int done, int of)
{
    return IntToStr(done) + Solidus + IntToStr(of);
}

std::string FileNameOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

ESourceChanged::ESourceChanged(const std::string& path)
    : Exception("\x81u" + FileNameOf(path) + "\x81v" + ChangedWhileRead)   // 「name」
{
}

bool TableExistsIn(TIBDatabase& database, const std::string& name, TStringList& names)
{
    database.ListTableNames(names, false);
    return names.IndexOf(name) >= 0;
}

bool TableExistsIn(TIBDatabase& database, const std::string& name)
{
    TStringList names;
    return TableExistsIn(database, name, names);
}

void DropLines(TStringList& lines)
{
    lines.Clear();
    lines.Add("DROP TABLE ZIPDIC;");
}

void CreateLines(const TColumnWidths& widths, TStringList& lines)
{
    lines.Clear();
    lines.Add("CREATE TABLE ZIPDIC (");
    lines.Add("  ZIP  VARCHAR(7),");
    for (std::size_t k = 0; k < widths.size(); ++k)
        lines.Add(std::string("  ") + ZipdicTable.Columns[k + 1].Name + " VARCHAR(" + IntToStr(widths[k]) + (k + 1 < widths.size() ? ")," : ")"));
    lines.Add("  );");
}

void InsertLines(const TDictionaryRecord& record, TStringList& lines)
{
    lines.Clear();
    lines.Add("INSERT INTO ZIPDIC (");
    lines.Add("  ZIP, ADK1, ADK2, ADK3,");
    lines.Add("  ADR1, ADR2, ADR3)");
    lines.Add("VALUES (");
    std::string line;
    for (int slot = rsZip; slot < rsCount; ++slot) {
        line.assign("  ");
        AppendQuoted(line, record.Slots[slot]);
        line += slot < rsAdr3 ? "," : ");";
        lines.Add(line);
    }
}

TDictionaryBuild::TDictionaryBuild(TIBDatabase& database, TIBTransaction& transaction, TIBQuery& query,
                                   TColumnWidths& widths)
    : m_database(database), m_transaction(transaction), m_query(query), m_widths(widths)
{
}

bool TDictionaryBuild::StatementStep(const TStringList& lines)
{
    bool ok = true;
    try {
        m_transaction.SetActive(false);
        m_transaction.StartTransaction();
        m_query.Close();
        m_query.SetParamCheck(false);
        // The lines arrive as one change, so the query is closed, unprepared
        // and its text handed on once per statement instead of once per line.
        m_query.SQL().Assign(lines);
        if (!m_query.IsPrepared())
            m_query.Prepare();
        m_query.Execute();
        m_transaction.Commit();
    } catch (...) {
        // The statement's own error is absorbed; a rollback that fails in
        // turn (no transaction, or the connection gone) leaves the step.
        m_transaction.Rollback();
        ok = false;
    }
    m_query.SetActive(false);
    m_transaction.SetActive(false);
    return ok;
}

bool TDictionaryBuild::DropDictionaryTable()
{
    DropLines(m_lines);
    return StatementStep(m_lines);
}

bool TDictionaryBuild::CreateDictionaryTable()
{
    CreateLines(m_widths, m_lines);
    return StatementStep(m_lines);
}

TBuildOutcome TDictionaryBuild::Run(const std::string& path, DictionaryBuildView& view)
{
    m_outcome = {};
    TBuildOutcome& out = m_outcome;
    const auto showMessage = [&](TBuildEnd end, const std::string& text) {
        out.End = end;
        out.Message = text;
        view.ShowMessage(text);
        return out;
    };
    if (!m_database.Connected())
        return out;
    if (!FileExists(path))
        return showMessage(beNotRun, SourceMissing);
    view.EnableBuildButton(false);
    // The build button comes back on every way out of the build, also when
    // an error leaves it for the general error handler.
    const TScopeExit enableOnExit([&view] { view.EnableBuildButton(true); });
    TMeasureResult measure{moReadError, nullptr, {}, {}};
    try {
        measure = MeasurePass(path, m_widths, out.Read, view, m_layout);
    } catch (...) {
        measure.ReadError = std::current_exception();   // in practice: the file could not be opened
    }
    if (measure.Outcome == moEscaped) {
        out.End = beEscaped;
        return out;
    }
    // Widths from a file read only in part would make a table that cannot
    // take its records, and widths the server cannot make a table of would
    // only have the old table dropped: the old table stays.
    if (measure.ReadError) {
        ClearStatusLines(view);
        std::rethrow_exception(measure.ReadError);
    }
    if (out.Read == 0 || std::find(m_widths.begin(), m_widths.end(), 0) != m_widths.end() || !TableFits(m_widths)) {
        ClearStatusLines(view);
        return showMessage(beNoTable, CreateFailed);
    }
    try {
        view.SetPhaseLine(Dropping);
        view.SetProgressLine({});
        ThrowIfStopRequested();   // the last moment at which a stop leaves the old table
        out.TableReached = true;
        if (view.TableExists(ZipdicTable.Name)) {
            if (!DropDictionaryTable()) {
                view.SetPhaseLine({});
                return showMessage(beDropRefused, DropFailed);
            }
            out.Dropped = true;
        }
        view.SetPhaseLine(Creating);
        if (!CreateDictionaryTable()) {
            ClearStatusLines(view);
            return showMessage(beCreateRefused, CreateFailed);
        }
        out.Created = true;
    } catch (...) {
        view.SetPhaseLine({});
        throw;
    }
    out.Replaced = measure.Replaced.Count;
    if (measure.Replaced.Count > 0)
        view.CharactersReplaced(path, measure.Replaced);
    InsertPass(path, measure.Read, view);
    out.End = beFinished;
    return out;
}

void TDictionaryBuild::InsertPass(const std::string& path, const TReadFingerprint& measured,
                                  DictionaryBuildView& view)
{
    view.SetPhaseLine(Inserting);
    view.SetProgressLine({});
    std::exception_ptr error;
    {
        TSourceFile source;
        source.ReadStrictly(m_layout);
        TDictionaryRecord record;
        try {
            source.Open(path);
            while (!source.Eof()) {
                source.ReadLine();
                if (!source.TakeRecord(record))
                    continue;
                ThrowIfStopRequested();
                ++m_outcome.Sent;
                if (m_outcome.Sent % ProgressEvery == 0)
                    view.SetProgressLine(InsertingPrefix + Counts(m_outcome.Sent, m_outcome.Read));
                InsertLines(record, m_lines);
                if (!StatementStep(m_lines))
                    ++m_outcome.Refused;   // skipped
            }
            // The file is opened by its name again: it must still hold
            // what was measured, or the table's widths and rows are not
            // those of one file.
            if (source.Fingerprint() != measured)
                throw ESourceChanged(path);
            source.Close();
        } catch (const EMalformedText&) {
            source.CloseQuietly();
            error = std::make_exception_ptr(ESourceChanged(path));   // the measuring pass found none
        } catch (...) {
            source.CloseQuietly();
            error = std::current_exception();
        }
    }
    view.SetPhaseLine(Finished);
    view.SetProgressLine(FinishedPrefix + Counts(m_outcome.Sent, m_outcome.Read));
    // The counts say how far it got; the error says why it stopped there.
    if (error)
        std::rethrow_exception(error);
}

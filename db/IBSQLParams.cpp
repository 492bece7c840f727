// The parameter walk of a statement text: named and unnamed markers become
// "?" and their names are listed in order.
#include "IBSQL.h"

#include <SysUtils.h>

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

bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}

[[noreturn]] void ParseError(const char* message)
{
    RaiseClientError(ibxeSQLParseError, {std::string(message)});
}

} // namespace

// Not folded into TParams::ParseSQL (DB.cpp), which reads a query's same text
// when it is assigned: that one gives the query's Params, a name once, and
// never fails; this one lays out the statement's input area at prepare, one
// slot per marker ("?" and repeated names included), and refuses what it
// cannot read. Why both stay is said there.
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

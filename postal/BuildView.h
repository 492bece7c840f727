// What the dictionary build and the test search need from the window. They
// decide every text shown; the view only converts it (CP932) and paints it.
#pragma once

#include "SourceEncoding.h"

#include <string>

// The measuring pass's share of the window.
class BuildView {
public:
    virtual ~BuildView() = default;
    virtual void SetPhaseLine(const std::string& text) = 0;     // repaints at once
    virtual void SetProgressLine(const std::string& text) = 0;  // repaints at once
    virtual void ShowMessage(const std::string& text) = 0;      // modal, OK only
    virtual bool EscapeDown() = 0;                              // physical key state
    virtual void EnableBuildButton(bool on) = 0;                // must not throw
};

// The whole build's: the pass's lines and keys, and whether a table exists.
class DictionaryBuildView : public BuildView {
public:
    // Whole-name match without regard to ASCII letter case; a failure of the
    // listing (a lost connection) is raised.
    virtual bool TableExists(const std::string& name) = 0;
    // The characters of the UTF-8 file at path that the rows about to be
    // stored hold as 〓 (ReplacementText tells each), once a build, before
    // its insert pass; not called when there are none.
    virtual void CharactersReplaced(const std::string& path, const TReplacements& replaced) = 0;
};

class SearchView {
public:
    virtual ~SearchView() = default;
    virtual bool TableExists(const std::string& name) = 0;      // as above
    virtual bool EscapeDown() = 0;                              // physical key state
    virtual void EnableSearchButton(bool on) = 0;               // must not throw
    virtual void ClearMemo() = 0;
    virtual void AddMemoLine(const std::string& line) = 0;
};

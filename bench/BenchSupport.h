// What the benchmark programs share: the window's three components on a
// database of their own, and a view that shows nothing.
#pragma once

#include <BuildView.h>

#include <IBQuery.h>

#include <string>
#include <vector>

// IBDatabase1, IBTransaction1 and IBQuery1 wired as the window wires them,
// attached to target (created with page size 4096 when it does not exist):
// a database file for the embedded engine, or "127.0.0.1:/path" or
// "127.0.0.1/PORT:/path" for a local server. The login is the window's;
// extraParams are further attach lines, such as "force_write=0".
struct TBenchComponents {
    explicit TBenchComponents(const std::string& target, const std::vector<std::string>& extraParams = {})
    {
        Database.SetLoginPrompt(false);
        Database.SetDatabaseName(target);
        Database.Params().Add("USER \"SYSDBA\"");
        Database.Params().Add("PASSWORD \"copperjam\"");
        Database.Params().Add("PAGE_SIZE 4096");
        try {
            Database.CreateNewDatabase();
            Database.SetConnected(false);
        } catch (const EIBError&) {
            // It exists already.
        }
        Database.Params().Clear();
        Database.Params().Add("USER_NAME=SYSDBA");
        Database.Params().Add("PASSWORD=copperjam");
        for (const std::string& line : extraParams)
            Database.Params().Add(line);
        Transaction.SetDefaultDatabase(&Database);
        Database.SetDefaultTransaction(&Transaction);
        Query.SetDatabase(&Database);
        Query.SetTransaction(&Transaction);
        Query.SetBufferChunks(1000);
        Query.SetCachedUpdates(false);
        Database.SetConnected(true);
    }

    TIBDatabase Database{"IBDatabase1"};
    TIBTransaction Transaction{"IBTransaction1"};
    TIBQuery Query{"IBQuery1"};
};

class TSilentView : public BuildView {
public:
    void SetPhaseLine(const std::string&) override {}
    void SetProgressLine(const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool EscapeDown() override { return false; }
    void EnableBuildButton(bool) override {}
};

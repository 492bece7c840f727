// Records, in order, what components and links are told, for the tests that
// run against the fake client library.
#pragma once

#include "FakeScript.h"

#include <IBDatabase.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

struct TJournal {
    std::vector<std::string> entries;

    void Add(const std::string& entry) { entries.push_back(entry); }
    void Clear() { entries.clear(); }

    void Watch(TIBDatabase& database)
    {
        database.BeforeConnect = [this](TComponent*) { Add("BeforeConnect"); };
        database.AfterConnect = [this](TComponent*) { Add("AfterConnect"); };
        database.BeforeDisconnect = [this](TComponent*) { Add("BeforeDisconnect"); };
        database.AfterDisconnect = [this](TComponent*) { Add("AfterDisconnect"); };
    }

    void Watch(TIBBase& link)
    {
        link.OnDatabaseDisconnecting = [this](TIBBase*) { Add("link:disconnecting"); };
        link.OnDatabaseDisconnected = [this](TIBBase*) { Add("link:disconnected"); };
        link.OnDatabaseFree = [this](TIBBase*) { Add("link:database freed"); };
        link.OnTransactionEnding = [this](TIBBase*) { Add("link:ending"); };
        link.OnTransactionEnded = [this](TIBBase*) { Add("link:ended"); };
        link.OnTransactionFree = [this](TIBBase*) { Add("link:transaction freed"); };
    }

    // The entry point's calls appear in the journal where they happen.
    void WatchCalls(std::initializer_list<const char*> entries)
    {
        for (const char* entry : entries)
            fake::SetHook(entry, [this](const fake::TCall& call, ISC_STATUS*, ISC_STATUS&) {
                Add(call.entry);
                return false;
            });
    }
};

inline const std::vector<ISC_STATUS> kLostConnection = {isc_arg_gds, 335544741, isc_arg_end};
inline const std::vector<ISC_STATUS> kRefused = {isc_arg_gds, 335544344, isc_arg_end};

// The connection is gone for good: every call that needs it fails.
inline void LoseConnection()
{
    for (const char* entry : {"isc_commit_transaction", "isc_rollback_transaction", "isc_detach_database",
                              "isc_start_multiple", "isc_database_info", "isc_commit_retaining"})
        fake::FailNext(entry, kLostConnection, 1000);
}

// The connection is lost inside the first execute for which lostHere says
// so; the executes before it run as the fake runs them.
inline void LoseConnectionAtExecute(std::function<bool()> lostHere)
{
    fake::SetHook("isc_dsql_execute",
                  [lostHere = std::move(lostHere)](const fake::TCall&, ISC_STATUS* status, ISC_STATUS& result) {
                      if (!lostHere())
                          return false;
                      LoseConnection();
                      std::copy(kLostConnection.begin(), kLostConnection.end(), status);
                      result = status[1];
                      return true;
                  });
}

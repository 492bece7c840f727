#include "FakeScript.h"

#include <deque>
#include <map>

namespace fake {
namespace {

struct TFailure {
    std::vector<ISC_STATUS> vector;
    int times;
};

struct TState {
    std::deque<TCall> calls;
    std::map<std::string, std::deque<TFailure>> failures;
    std::map<std::string, THook> hooks;
    std::map<ISC_STATUS, std::string> messages;
    ISC_LONG sqlCode = -901;
    int dialect = 3;
    unsigned nextHandle = 100;
    std::map<char, std::string> infoReplies;
    std::map<std::string, TAreaHook> areaHooks;
};

TState& State()
{
    static TState state;
    return state;
}

} // namespace

void Reset()
{
    State() = TState{};
}

void FailNext(const std::string& entry, std::vector<ISC_STATUS> vector, int times)
{
    State().failures[entry].push_back(TFailure{std::move(vector), times});
}

void SetHook(const std::string& entry, THook hook)
{
    State().hooks[entry] = std::move(hook);
}

void SetMessage(ISC_STATUS code, const std::string& text)
{
    State().messages[code] = text;
}

void SetSqlCode(ISC_LONG sqlCode)
{
    State().sqlCode = sqlCode;
}

void SetDialect(int dialect)
{
    State().dialect = dialect;
}

void SetInfoReply(char item, const std::string& reply)
{
    State().infoReplies[item] = reply;
}

void SetAreaHook(const std::string& entry, TAreaHook hook)
{
    State().areaHooks[entry] = std::move(hook);
}

const std::deque<TCall>& Calls()
{
    return State().calls;
}

int CallCount(const std::string& entry)
{
    int n = 0;
    for (const TCall& c : State().calls)
        if (c.entry == entry)
            ++n;
    return n;
}

const TCall* LastCall(const std::string& entry)
{
    const auto& calls = State().calls;
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->entry == entry)
            return &*it;
    return nullptr;
}

bool Enter(TCall call, ISC_STATUS* status, ISC_STATUS& result)
{
    TState& s = State();
    const std::string entry = call.entry;
    s.calls.push_back(std::move(call));
    if (status) {
        for (int i = 0; i < ISC_STATUS_LENGTH; ++i)
            status[i] = 0;
        status[0] = isc_arg_gds;
    }
    auto f = s.failures.find(entry);
    if (f != s.failures.end() && !f->second.empty()) {
        TFailure& failure = f->second.front();
        std::size_t i = 0;
        for (; i < failure.vector.size() && i + 1 < ISC_STATUS_LENGTH; ++i)
            status[i] = failure.vector[i];
        status[i] = 0;
        result = status[1];
        if (--failure.times <= 0)
            f->second.pop_front();
        return true;
    }
    auto h = s.hooks.find(entry);
    if (h != s.hooks.end() && h->second) {
        THook hook = h->second;
        return hook(s.calls.back(), status, result);
    }
    return false;
}

unsigned NewHandle()
{
    return State().nextHandle++;
}

std::string Message(ISC_STATUS code)
{
    auto it = State().messages.find(code);
    if (it != State().messages.end())
        return it->second;
    return "fake error " + std::to_string(code);
}

ISC_LONG SqlCode()
{
    return State().sqlCode;
}

int Dialect()
{
    return State().dialect;
}

const std::string* InfoReply(char item)
{
    auto it = State().infoReplies.find(item);
    return it == State().infoReplies.end() ? nullptr : &it->second;
}

TAreaHook AreaHook(const std::string& entry)
{
    auto it = State().areaHooks.find(entry);
    return it == State().areaHooks.end() ? TAreaHook{} : it->second;
}

} // namespace fake

#include "DBConnection.h"

#include <algorithm>

void DatabaseError(const std::string& message, const TComponent* component)
{
    if (component && !component->Name().empty())
        throw EDatabaseError(Format("%s: %s", {component->Name(), message}));
    throw EDatabaseError(message);
}

void TCustomConnection::SetConnected(bool value)
{
    if (value == Connected())
        return;
    if (value) {
        if (BeforeConnect)
            BeforeConnect(this);
        DoConnect();
        SendConnectEvent(true);
        if (AfterConnect)
            AfterConnect(this);
    } else {
        if (BeforeDisconnect)
            BeforeDisconnect(this);
        SendConnectEvent(false);
        DoDisconnect();
        if (AfterDisconnect)
            AfterDisconnect(this);
    }
}

void TCustomConnection::RegisterClient(const void* client, TConnectChangeEvent callback)
{
    m_clients.push_back(Client{client, std::move(callback)});
}

void TCustomConnection::UnRegisterClient(const void* client)
{
    auto it = std::find_if(m_clients.begin(), m_clients.end(),
                           [client](const Client& c) { return c.client == client; });
    if (it != m_clients.end())
        m_clients.erase(it);
}

int TCustomConnection::ClientCount() const noexcept
{
    return static_cast<int>(m_clients.size());
}

void TCustomConnection::SendConnectEvent(bool connecting)
{
    // A callback may unregister clients (and their owners may die): walk a
    // copy of the keys and skip the ones that are gone by their turn.
    std::vector<const void*> keys;
    keys.reserve(m_clients.size());
    for (const Client& c : m_clients)
        keys.push_back(c.client);
    for (const void* key : keys) {
        auto it = std::find_if(m_clients.begin(), m_clients.end(),
                               [key](const Client& c) { return c.client == key; });
        if (it == m_clients.end() || !it->callback)
            continue;
        TConnectChangeEvent callback = it->callback;
        callback(connecting);
    }
}

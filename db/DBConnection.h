// The data-access framework's connection base and its error.
#pragma once

#include <Classes.h>
#include <SysUtils.h>

#include <functional>
#include <string>
#include <vector>

class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};

// Raises EDatabaseError; the text is "%s: %s" of the component's name and the
// message when the component has a name, else the message alone.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);

// Supplies Connected, LoginPrompt, the four connect/disconnect events and the
// list of registered clients (datasets, each with an optional callback).
class TCustomConnection : public TComponent {
public:
    using TConnectChangeEvent = std::function<void(bool connecting)>;

    explicit TCustomConnection(std::string name = {}) : TComponent(std::move(name)) {}

    bool Connected() const { return GetConnected(); }
    // true: BeforeConnect, DoConnect, clients told, AfterConnect;
    // false: BeforeDisconnect, clients told, DoDisconnect, AfterDisconnect.
    // Writing the current value does nothing.
    void SetConnected(bool value);
    void Open() { SetConnected(true); }
    void Close() { SetConnected(false); }

    bool LoginPrompt() const noexcept { return m_loginPrompt; }
    void SetLoginPrompt(bool value) noexcept { m_loginPrompt = value; }

    TNotifyEvent BeforeConnect;
    TNotifyEvent AfterConnect;
    TNotifyEvent BeforeDisconnect;
    TNotifyEvent AfterDisconnect;

    void RegisterClient(const void* client, TConnectChangeEvent callback = {});
    void UnRegisterClient(const void* client);
    int ClientCount() const noexcept;

protected:
    virtual void DoConnect() = 0;
    virtual void DoDisconnect() = 0;
    virtual bool GetConnected() const = 0;
    // Tells every registered client that the connection goes up or down.
    void SendConnectEvent(bool connecting);

private:
    struct Client {
        const void* client;
        TConnectChangeEvent callback;
    };
    std::vector<Client> m_clients;
    bool m_loginPrompt = true;
};
